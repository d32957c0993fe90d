# Shell helpers shared by run-tests.sh, run-demo.sh and tools/wheel-check.sh
# (sourced, not run): progress lines for slow steps, the virtual environment
# for one Python version, and the incremental install of the modules.

say() { printf '==> %s\n' "$*"; }

_ticker_pid=
_stop_ticker() {
  if [ -n "$_ticker_pid" ]; then
    kill "$_ticker_pid" 2>/dev/null || true
    wait "$_ticker_pid" 2>/dev/null || true
    _ticker_pid=
  fi
}
trap _stop_ticker EXIT

# with_progress LABEL COMMAND...: runs the command while a line every 5 s
# shows that it is still working.
with_progress() {
  local label=$1; shift
  local start=$SECONDS
  ( while sleep 5; do printf '    ... %s (%d s)\n' "$label" $((SECONDS - start)); done ) &
  _ticker_pid=$!
  local status=0
  "$@" || status=$?
  _stop_ticker
  return "$status"
}

# The Python version the scripts use: $PYTHON_VERSION, default 3.12.
python_version() { printf '%s\n' "${PYTHON_VERSION:-3.12}"; }

# The default virtual environment of a Python version: .venv for 3.12,
# .venv-X.Y for the others.
default_venv() {
  if [ "$1" = 3.12 ]; then printf '.venv\n'; else printf '.venv-%s\n' "$1"; fi
}

# prepare_machine: the system packages the tests and the demo need, then the
# virtual environment of $PYTHON_VERSION ($VENV, else its default); sets
# `version` and `venv` for the caller.
prepare_machine() {
  say "system packages (sshd, SLURM with accounting, MUNGE, Redis)"
  with_progress "installing system packages" tools/install-system-packages.sh
  version=$(python_version)
  venv=${VENV:-$(default_venv "$version")}
  ensure_venv "$venv" "$version"
}

_pip() {
  local venv=$1; shift
  "$venv/bin/python" -m pip -q --disable-pip-version-check "$@"
}

# ensure_venv DIR X.Y: creates DIR with Python X.Y unless it already holds a
# working one, and installs what building the modules without build
# isolation needs (tools/build_requirements.py lists what is missing).
ensure_venv() {
  local venv=$1 version=$2
  if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c \
      "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))))" 2>/dev/null; then
    local python
    python=$(tools/find-python.sh "$version") || return 1
    say "creating $venv with $python"
    rm -rf "$venv"
    "$python" -m venv "$venv" || return 1
  fi
  local missing round
  for round in 1 2; do
    missing=$("$venv/bin/python" tools/build_requirements.py) || return 1
    [ -n "$missing" ] || return 0
    mapfile -t missing <<<"$missing"
    say "installing build requirements into $venv: ${missing[*]}"
    with_progress "installing build requirements" _pip "$venv" install "${missing[@]}" || return 1
  done
}

# install_standin DIR: the engine stand-in (standin/, the distribution
# zentrel-core-standin) into DIR: zentrel_core/__init__.py, logger.py,
# node.py and parameters.py land in site-packages' zentrel_core next to the
# built modules, as an engine's package holds them, so that nothing needs
# PYTHONPATH.  About a second; rerun every time, so edits of standin/ count.
install_standin() {
  with_progress "installing the engine stand-in" _pip "$1" install ./standin
}

# setup_dev_env: what the README's set-up does, for $PYTHON_VERSION: system
# packages, the virtual environment, the modules with their test extra and
# the engine stand-in.  With ZENTREL_WHEEL=<file> the modules come from that
# built wheel (the one cp312-abi3 wheel serves every Python from 3.12 on)
# instead of a build for this Python.
setup_dev_env() {
  prepare_machine
  if [ -n "${ZENTREL_WHEEL:-}" ]; then
    say "installing the built wheel with the test extra into $venv ($ZENTREL_WHEEL)"
    install_wheel "$venv" "$ZENTREL_WHEEL"
  else
    say "building and installing the modules with the test extra into $venv (pip install .[test])"
    install_modules "$venv" ".[test]"
  fi
  say "installing the engine stand-in into $venv (pip install ./standin)"
  install_standin "$venv"
}

# install_modules DIR [TARGET]: builds and installs the modules (TARGET,
# default ".": the project, or ".[test]" with the test extra) into DIR.
# The build directory build/<wheel tag> persists between runs, so an
# unchanged tree installs in a few seconds and a changed file rebuilds only
# what depends on it.
install_modules() {
  local venv=$1 target=${2:-.}
  with_progress "building and installing" _pip "$venv" install --no-build-isolation "$target"
}

# install_wheel DIR WHEEL: installs the built wheel with its test extra into
# DIR, replacing whatever build of the modules DIR held (pip keeps an
# installed distribution of the same version otherwise).
install_wheel() {
  local venv=$1 wheel=$2
  _pip "$venv" uninstall -y zentrel-native
  with_progress "installing the wheel" _pip "$venv" install "$wheel[test]"
}

# build_wheel DIR OUTDIR: builds the wheel with the Python of DIR into OUTDIR
# (incremental, in build/<cache tag>-<wheel tag>); prints its path.
build_wheel() {
  local venv=$1 out=$2
  rm -rf "$out"
  mkdir -p "$out"
  with_progress "building the wheel" _pip "$venv" wheel --no-build-isolation --no-deps -w "$out" . >&2
  local built=("$out"/zentrel_native-*.whl)
  [ -f "${built[0]}" ] || { echo "error: no wheel in $out" >&2; return 1; }
  printf '%s\n' "${built[0]}"
}
