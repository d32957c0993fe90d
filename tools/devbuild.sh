#!/usr/bin/env bash
# Fast incremental build of the modules into build/<name>/ (default: dev),
# for working on the C++ without reinstalling.  The built module files are
# laid out as build/<name>/pkg/zentrel_core/*.so; put build/<name>/pkg and
# standin/ on PYTHONPATH to use them with the engine stand-in:
#   PYTHONPATH=standin:build/dev/pkg .venv/bin/python -m pytest tests
# Set ZENTREL_ASAN=ON for an AddressSanitizer build, PYTHON=<interpreter>
# for another Python (default .venv/bin/python).
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:-dev}
python=${PYTHON:-.venv/bin/python}
# CMake takes a relative Python_EXECUTABLE as relative to the build tree
case $python in /*) ;; *) python=$PWD/$python ;; esac
build=build/$name
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} \
  -DPython_EXECUTABLE="$python" -DZENTREL_ASAN="${ZENTREL_ASAN:-OFF}" >/dev/null
cmake --build "$build" -j 2
mkdir -p "$build/pkg/zentrel_core"
cp -f "$build"/*.so "$build/pkg/zentrel_core/"
