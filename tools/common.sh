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

_pip() {
  local venv=$1; shift
  "$venv/bin/python" -m pip -q --disable-pip-version-check "$@"
}

# ensure_venv DIR X.Y: creates DIR with Python X.Y unless it already holds a
# working one, and installs what building the modules without build
# isolation needs: the build backend named in pyproject.toml and what that
# backend asks for on this machine (CMake and Ninja unless usable ones are
# already installed).
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
  local backend
  backend=$("$venv/bin/python" -c 'import tomllib
with open("pyproject.toml", "rb") as fh:
    print("\n".join(tomllib.load(fh)["build-system"]["requires"]))') || return 1
  mapfile -t backend <<<"$backend"
  if ! "$venv/bin/python" -c 'import scikit_build_core' 2>/dev/null; then
    say "installing the build backend into $venv"
    with_progress "installing ${backend[*]}" _pip "$venv" install "${backend[@]}" || return 1
  fi
  local extra
  extra=$("$venv/bin/python" -c 'from scikit_build_core.build import get_requires_for_build_wheel as r
print("\n".join(r()))') || return 1
  if [ -n "$extra" ]; then
    mapfile -t extra <<<"$extra"
    say "installing build tools into $venv: ${extra[*]}"
    with_progress "installing build tools" _pip "$venv" install "${extra[@]}" || return 1
  fi
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
