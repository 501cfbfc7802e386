#!/usr/bin/env bash
# Sets everything up (scripts/setup.sh), then runs the linters (scripts/lint.sh)
# and the whole test suite: the
# C++ tests through CTest (the fuzz corpus replay among them), again built
# with sanitizers, and the Python tests through pytest. Heuristic
# packages the tests need are compiled once per machine and cached.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
PY=.venv/bin/python

echo "[test] lint: ruff and the C++ format check"
bash scripts/lint.sh

echo "[test] preparing heuristic packages (compiled once per machine, then cached)"
KESTREL_TEST_PACKAGE_DIR=$("$PY" tests/support/heuristic_packages.py | tail -n 1)
export KESTREL_TEST_PACKAGE_DIR
"$PY" -c "import kestrel_puzzles as p; [p.manhattan_package(n) for n in p.ENVIRONMENTS]"

echo "[test] C++ tests"
ctest --test-dir build/kestrel_cpp --output-on-failure

echo "[test] C++ and Python tests under AddressSanitizer and UndefinedBehaviorSanitizer"
bash scripts/sanitize.sh

echo "[test] the template plugin of docs/plugins.md, built as a separate project"
"$PY" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
  -C build-dir="$PWD/build/plugin_template" examples/plugin_template

echo "[test] Python tests"
"$PY" -m pytest -q tests/python plugins/kestrel_puzzles/tests examples/plugin_template/tests "$@"
