#!/usr/bin/env bash
# Sets everything up (scripts/setup.sh), then runs the demo: a scrambled
# 15-puzzle solved with run_weighted_astar and the bundled Manhattan heuristic.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec .venv/bin/python examples/demo.py "$@"
