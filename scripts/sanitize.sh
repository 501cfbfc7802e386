#!/usr/bin/env bash
# Builds the solver libraries and the C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (build/sanitize) and runs the tests under them.
# Needs scripts/setup.sh first (the virtual environment supplies LibTorch and
# nanobind) and KESTREL_TEST_PACKAGE_DIR for the tests that load packages.
# Usage: scripts/sanitize.sh [sanitizers, default address,undefined]
set -euo pipefail
cd "$(dirname "$0")/.."
SANITIZERS=${1:-address,undefined}
BUILD=build/sanitize

export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/ccache}
# Clones in other folders share cached objects (debug info names the files).
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_BUILD_TESTS=ON \
  -DKESTREL_SANITIZE="$SANITIZERS" -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
bash scripts/with-build-lock.sh cmake --build "$BUILD" --target kestrel_cpp_tests

# LibTorch is not instrumented; its allocations still go through the
# sanitizer's allocator, so leaks and overruns in our code are found.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$BUILD" --output-on-failure
