#!/usr/bin/env bash
# The demo in one command: a word counting node runs as a SLURM job on an
# embedded localhost cluster (sshd + single-node SLURM + redis-server on
# loopback), its log lines stream live through Redis, then it runs locally
# and calls a slow HTTP service with progress lines.
#
# On a fresh Debian machine (as root) this installs the system packages of
# the embedded cluster, creates a virtual environment, builds and installs
# the modules with `pip install .` (incremental: the build directory
# build/<wheel tag> is kept, so an unchanged tree installs in seconds) and
# runs examples/demo.py, which brings the cluster up and tears it down
# again, also on Ctrl-C or failure.  Arguments go to the demo (--help lists
# them).
#   PYTHON_VERSION=X.Y  Python to use (default 3.12)
#   VENV=<dir>          virtual environment to use (default .venv for 3.12,
#                       .venv-X.Y for other versions)
set -euo pipefail
cd "$(dirname "$0")"
source tools/common.sh

prepare_machine

say "building and installing the modules into $venv (pip install .)"
install_modules "$venv" .
say "installing the engine stand-in into $venv (pip install ./standin)"
install_standin "$venv"

say "running the demo"
exec "$venv/bin/python" -m examples.demo "$@"
