#!/usr/bin/env bash
# Prints the path of a working Python 3.12 interpreter, or fails with a clear
# message.  A plain `python3.12` is used when it runs; on machines where that
# name is only pyenv's shim (which fails unless 3.12 is selected), pyenv's
# installed 3.12 is used instead.
set -u
works() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1; }
candidates=(python3.12)
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root 2>/dev/null)
  [ -n "$root" ] && candidates+=("$root"/versions/3.12*/bin/python3.12)
fi
candidates+=("$HOME"/.pyenv/versions/3.12*/bin/python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12)
for candidate in "${candidates[@]}"; do
  if works "$candidate"; then
    command -v "$candidate"
    exit 0
  fi
done
echo "error: no working Python 3.12 found (tried: ${candidates[*]})." >&2
echo "Install Python 3.12 (for example 'pyenv install 3.12') and try again." >&2
exit 1
