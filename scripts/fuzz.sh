#!/usr/bin/env bash
# A libFuzzer campaign against the manifest loader, with AddressSanitizer and
# UndefinedBehaviorSanitizer. Needs Debian's clang (installed if missing).
# New interesting inputs accumulate in build/fuzz/corpus; findings are written
# to build/fuzz/findings. Add every finding, once fixed, to
# tests/fuzz/corpus/manifest, which every test run replays.
# Usage: scripts/fuzz.sh [seconds, default 60] [extra libFuzzer flags...]
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_TO_RUN=${1:-60}
shift || true
OUT=build/fuzz

if ! command -v clang++ >/dev/null; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq clang >/dev/null
fi

mkdir -p "$OUT/corpus" "$OUT/findings"
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -Isrc \
  src/kestrel/heuristic/manifest.cpp tests/fuzz/manifest_fuzzer.cpp -o "$OUT/manifest_fuzzer"

# The first corpus folder receives new inputs; the checked-in seeds stay as they are.
exec "$OUT/manifest_fuzzer" "$OUT/corpus" tests/fuzz/corpus/manifest -dict=tests/fuzz/manifest.dict \
  -max_total_time="$SECONDS_TO_RUN" -max_len=4096 -artifact_prefix="$OUT/findings/" -print_final_stats=1 "$@"
