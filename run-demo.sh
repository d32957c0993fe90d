#!/usr/bin/env bash
# The demo in one command: a word counting node runs as a SLURM job on an
# embedded localhost cluster (sshd + single-node SLURM + redis-server on
# loopback), its log lines stream live through Redis, then it runs locally
# and calls a slow HTTP service with progress lines.
#
# On a fresh Debian machine (as root) this installs the system packages of
# the embedded cluster, creates a Python 3.12 virtual environment, builds and
# installs the modules with `pip install .` (skipped while the sources are
# unchanged since the last install) and runs examples/demo.py, which brings
# the cluster up and tears it down again, also on Ctrl-C or failure.
# Arguments go to the demo (--help lists them).
#   VENV=<dir>  virtual environment to use (default .venv)
set -euo pipefail
cd "$(dirname "$0")"

say() { printf '==> %s\n' "$*"; }

ticker_pid=
stop_ticker() {
  if [ -n "$ticker_pid" ]; then
    kill "$ticker_pid" 2>/dev/null || true
    wait "$ticker_pid" 2>/dev/null || true
    ticker_pid=
  fi
}
trap stop_ticker EXIT

# Runs a command while a line every 5 s shows that it is still working.
with_progress() {
  local label=$1; shift
  local start=$SECONDS
  ( while sleep 5; do printf '    ... %s (%d s)\n' "$label" $((SECONDS - start)); done ) &
  ticker_pid=$!
  local status=0
  "$@" || status=$?
  stop_ticker
  return "$status"
}

say "system packages (sshd, SLURM, MUNGE, Redis)"
with_progress "installing system packages" tools/install-system-packages.sh

venv=${VENV:-.venv}
if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
  python=$(tools/python312.sh)
  say "creating $venv with $python"
  rm -rf "$venv"
  "$python" -m venv "$venv"
fi

# The modules are rebuilt only when the sources differ from the last install.
stamp="$venv/.zentrel-native-sources"
sources=$(find src -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum \
          | cat - CMakeLists.txt pyproject.toml | sha256sum | cut -d' ' -f1)
installed() {
  "$venv/bin/python" - <<'EOF'
import glob, os, sys, sysconfig
pkg = os.path.join(sysconfig.get_paths()["platlib"], "zentrel_core")
ok = all(glob.glob(os.path.join(pkg, name + ".*.so")) for name in ("clusterlane", "pulsewire"))
try:
    import paramiko, redis, requests  # noqa: F401
except ImportError:
    ok = False
sys.exit(0 if ok else 1)
EOF
}
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$sources" ] && installed; then
  say "modules up to date in $venv"
else
  say "building and installing the modules (pip install .)"
  rm -f "$stamp"
  # a local directory is always rebuilt and reinstalled; its dependencies
  # (paramiko, redis, requests) only when missing
  with_progress "building" "$venv/bin/python" -m pip install -q --disable-pip-version-check .
  printf '%s\n' "$sources" >"$stamp"
fi

say "running the demo"
exec "$venv/bin/python" -m examples.demo "$@"
