#!/usr/bin/env bash
# Builds the solver libraries, the C++ tests and the Python modules with
# AddressSanitizer and UndefinedBehaviorSanitizer (build/sanitize), runs the
# C++ tests under them, then the Python suite against the instrumented modules
# with the sanitizer runtimes preloaded into the interpreter. LibTorch itself
# is not instrumented, but its allocations go through the sanitizer's
# allocator, so overruns and use-after-free in our code are found either way.
#
# Needs scripts/setup.sh first (the virtual environment supplies LibTorch,
# nanobind and the plugin) and KESTREL_TEST_PACKAGE_DIR, as scripts/test.sh
# sets it. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=build/sanitize
PY=$ROOT/.venv/bin/python

export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/ccache}
# Clones in other folders share cached objects (debug info names the files).
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$ROOT} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_BUILD_TESTS=ON \
  -DKESTREL_SANITIZE=address,undefined -DPython_EXECUTABLE="$PY" >/dev/null
bash scripts/with-build-lock.sh cmake --build "$BUILD" --target kestrel_cpp_tests _backend_impl _testing _environments

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
echo "[sanitize] C++ tests"
# intercept_tls_get_addr=0: the sanitizer's own record of dynamic
# thread-local storage goes wrong for the network libraries that packages load
# (a garbage block such as "DTLS 11 at 0x2233c-0x280002343e"), and the leak
# checker's tracer then crashes at exit scanning it. Whether it does depends on
# the memory layout, down to the length of the environment: test_search failed
# that way under CTest in a fresh clone and passed when started by hand. Leaks
# are still checked; only dynamic TLS stops counting as a root.
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:intercept_tls_get_addr=0} \
  ctest --test-dir "$BUILD" --output-on-failure

# The package with the instrumented modules, found before the installed one.
rm -rf "$BUILD/python"
mkdir -p "$BUILD/python"
cp -r python/kestrel_cpp "$BUILD/python/"
cp "$BUILD"/_backend_impl.*.so "$BUILD"/_testing.*.so "$BUILD"/_environments.*.so "$BUILD/python/kestrel_cpp/"
# The type stub is generated from the module by importing it, which an
# instrumented module cannot be without the sanitizer runtime: take the one
# the regular build generated (the same functions).
cp "$("$PY" -c 'import kestrel_cpp, os; print(os.path.dirname(kestrel_cpp.__file__))')/_backend_impl.pyi" \
  "$BUILD/python/kestrel_cpp/"

echo "[sanitize] Python tests against the instrumented modules"
# The interpreter's own allocations are never freed at exit, so leak reports
# would be noise here; the C++ tests above check for leaks.
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0} \
  LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" \
  PYTHONPATH="$ROOT/$BUILD/python" \
  "$PY" -m pytest -q -p no:cacheprovider tests/python plugins/kestrel_puzzles/tests "$@"
