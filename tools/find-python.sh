#!/usr/bin/env bash
# Prints the path of a working Python interpreter of the version given as the
# only argument (3.12, 3.13, ...), or fails with a clear message.  A plain
# `pythonX.Y` is used when it runs; on machines where that name is only
# pyenv's shim (which fails unless the version is selected), pyenv's
# installed X.Y is used instead.
set -u
version=${1:?usage: tools/find-python.sh X.Y}
case $version in
  3.[0-9]|3.[0-9][0-9]) ;;
  *) echo "error: '$version' is not a Python version of the form 3.N" >&2; exit 2 ;;
esac
works() {
  "$1" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))))" >/dev/null 2>&1
}
name=python$version
candidates=("$name")
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root 2>/dev/null)
  [ -n "$root" ] && candidates+=("$root"/versions/"$version".*/bin/"$name")
fi
candidates+=("$HOME"/.pyenv/versions/"$version".*/bin/"$name" /usr/local/bin/"$name" /usr/bin/"$name")
for candidate in "${candidates[@]}"; do
  if works "$candidate"; then
    command -v "$candidate"
    exit 0
  fi
done
echo "error: no working Python $version found (tried: ${candidates[*]})." >&2
echo "Install Python $version (for example 'pyenv install $version') and try again." >&2
exit 1
