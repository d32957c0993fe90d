#!/usr/bin/env bash
# Runs the whole test suite on a fresh machine: installs the Debian packages
# the tests need (sshd, SLURM with accounting, MUNGE, Redis), creates a virtual
# environment, builds and installs the modules with their test extra
# (`pip install .[test]`, incremental: the build directory build/<wheel tag>
# is kept between runs) and runs pytest.  Extra arguments go to pytest.
#   PYTHON_VERSION=X.Y  Python to test with (default 3.12; 3.13 works too)
#   VENV=<dir>          virtual environment to use (default .venv for 3.12,
#                       .venv-X.Y for other versions)
set -euo pipefail
cd "$(dirname "$0")"
source tools/common.sh

setup_dev_env

say "running the tests with Python $version"
"$venv/bin/python" -m pytest "$@"
