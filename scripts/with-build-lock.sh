#!/usr/bin/env bash
# Runs a command while holding the build lock, so that concurrent builds in the
# shared build tree (several terminals, editors, agents) never interleave.
set -euo pipefail
mkdir -p "$(dirname "$0")/../build"
exec flock "$(dirname "$0")/../build/.lock" "$@"
