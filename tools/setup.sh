#!/usr/bin/env bash
# Prepares a development checkout, as run-tests.sh does before it runs the
# tests: the Debian packages of the test bed, .venv (Python 3.12; set
# PYTHON_VERSION=3.13 for .venv-3.13), the modules built and installed with
# their test extra, and the engine stand-in installed next to them.  After
# it, the README's commands and examples run as written.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

setup_dev_env
say "ready: $venv (activate it with '. $venv/bin/activate')"
