#!/usr/bin/env bash
# Builds the modules with AddressSanitizer into build/asan and runs the test
# suite against that build (the interpreter itself is not instrumented, so
# the sanitizer runtime is preloaded; Python's allocator is switched to
# malloc so that ASan sees every object allocation).  Run ./run-tests.sh once
# first so that .venv and the system packages exist.  Extra arguments go to
# pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH=$PWD/.venv/bin:$PATH
ZENTREL_ASAN=ON BUILD_TYPE=Debug tools/devbuild.sh asan
# libstdc++ is preloaded too: ASan intercepts __cxa_throw and must find the
# real one at start-up, before the modules pull libstdc++ in.
preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)"
# Leak checking is off: CPython keeps objects alive until exit by design.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
PYTHONMALLOC=malloc LD_PRELOAD=$preload PYTHONPATH=standin:build/asan/pkg \
  exec .venv/bin/python -m pytest -p no:cacheprovider "$@"
