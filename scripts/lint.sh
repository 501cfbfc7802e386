#!/usr/bin/env bash
# The Python linter and the C++ format check; both must stay clean. Run by
# scripts/test.sh after setup. `bash scripts/lint.sh --fix` rewrites the files
# instead of checking them.
set -euo pipefail
cd "$(dirname "$0")/.."
BIN=.venv/bin
mapfile -t sources < <(git ls-files 'src/*.h' 'src/*.cpp' 'tests/cpp/*.h' 'tests/cpp/*.cpp' 'tests/fuzz/*.cpp' \
                                     'plugins/*.h' 'plugins/*.cpp' 'examples/*.h' 'examples/*.cpp')
if [ "${1:-}" = "--fix" ]; then
  "$BIN/ruff" check --fix python tests benchmarks plugins examples
  "$BIN/clang-format" -i "${sources[@]}"
  exit 0
fi
"$BIN/ruff" check python tests benchmarks plugins examples
"$BIN/clang-format" --dry-run --Werror "${sources[@]}"
echo "[lint] clean: ruff and clang-format (${#sources[@]} C++ files)"
