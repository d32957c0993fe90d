#!/usr/bin/env bash
# Runs the whole test suite on a fresh machine: installs the Debian packages
# the test bed needs (sshd, SLURM, MUNGE, Redis), creates a Python 3.12
# virtual environment, builds and installs the modules with `pip install .`,
# and runs pytest.  Extra arguments go to pytest.
#   VENV=<dir>  virtual environment to use (default .venv)
set -euo pipefail
cd "$(dirname "$0")"

say() { printf '==> %s\n' "$*"; }

say "system packages"
tools/install-system-packages.sh

venv=${VENV:-.venv}
if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))'; then
  python=$(tools/python312.sh)
  say "creating $venv with $python"
  rm -rf "$venv"
  "$python" -m venv "$venv"
fi

say "installing test requirements"
"$venv/bin/python" -m pip install -q --disable-pip-version-check pytest
say "building and installing the modules (pip install .)"
"$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps .
"$venv/bin/python" -m pip install -q --disable-pip-version-check .

say "running the tests"
exec "$venv/bin/python" -m pytest "$@"
