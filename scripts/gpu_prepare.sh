#!/usr/bin/env bash
# Run here, before a GPU check: copies what the GPU machine lacks into .gpu/
# (ignored through .git/info/exclude, so it travels only when carried).
#
#   .gpu/nlohmann/include/nlohmann/...                 JSON headers (header-only)
#   .gpu/nlohmann/share/cmake/nlohmann_json/*.cmake    their CMake package
#
# The CMake package finds its headers three folders above itself, so the
# layout above keeps find_package(nlohmann_json 3.11) working from any
# checkout: scripts/gpu_check.sh passes -Dnlohmann_json_DIR=$PWD/.gpu/nlohmann/share/cmake/nlohmann_json.
#
# Then run scripts/gpu_check.sh on the GPU machine with carry [".gpu"].
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
DEST=$ROOT/.gpu/nlohmann

log() { printf '[gpu_prepare] %s\n' "$*"; }
die() { printf '[gpu_prepare] ERROR: %s\n' "$*" >&2; exit 1; }

# --- Keep .gpu/ out of git without touching .gitignore.
exclude=$(git rev-parse --git-path info/exclude)
mkdir -p "$(dirname "$exclude")"
touch "$exclude"
grep -qxF '/.gpu/' "$exclude" || echo '/.gpu/' >>"$exclude"
git check-ignore -q .gpu/ || die ".gpu/ is not ignored by git after adding /.gpu/ to $exclude"

# --- nlohmann JSON: headers and CMake package from the Debian package.
dpkg-query -W -f='${Status}' nlohmann-json3-dev 2>/dev/null | grep -q 'install ok installed' \
  || die "nlohmann-json3-dev is not installed here (bash scripts/setup.sh installs it)"
version=$(dpkg-query -W -f='${Version}' nlohmann-json3-dev)
headers=/usr/include/nlohmann
[ -f "$headers/json.hpp" ] || die "$headers/json.hpp is missing"
config=$(dpkg -L nlohmann-json3-dev | grep -i cmake | grep '/nlohmann_jsonConfig\.cmake$' | head -n 1 || true)
[ -n "$config" ] || die "no nlohmann_jsonConfig.cmake in 'dpkg -L nlohmann-json3-dev'"
config_dir=$(dirname "$config")

rm -rf "$DEST"
mkdir -p "$DEST/include" "$DEST/share/cmake/nlohmann_json"
cp -a "$headers" "$DEST/include/"
cp -a "$config_dir"/*.cmake "$DEST/share/cmake/nlohmann_json/"
log "nlohmann-json3-dev $version: headers and CMake package copied to ${DEST#"$ROOT"/}"

# --- Check: a throwaway CMake project finds the copy (not /usr), and the copied
# headers compile (-I is searched before /usr/include).
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
cat >"$probe/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.24)
project(nlohmann_probe LANGUAGES CXX)
find_package(nlohmann_json 3.11 REQUIRED)
get_target_property(inc nlohmann_json::nlohmann_json INTERFACE_INCLUDE_DIRECTORIES)
message(STATUS "nlohmann_json ${nlohmann_json_VERSION} include: ${inc}")
list(GET inc 0 first)
if(NOT first STREQUAL "${EXPECTED_INCLUDE}")
  message(FATAL_ERROR "nlohmann_json resolves its headers to '${first}', expected '${EXPECTED_INCLUDE}'")
endif()
if(NOT EXISTS "${first}/nlohmann/json.hpp")
  message(FATAL_ERROR "${first}/nlohmann/json.hpp does not exist")
endif()
EOF
cmake -S "$probe" -B "$probe/build" -DEXPECTED_INCLUDE="$DEST/include" \
  -Dnlohmann_json_DIR="$DEST/share/cmake/nlohmann_json" >"$probe/log" 2>&1 \
  || { cat "$probe/log" >&2; die "the copied nlohmann_json package does not configure"; }
grep 'nlohmann_json .* include:' "$probe/log" | sed 's/^-- /[gpu_prepare] /'
echo '#include <nlohmann/json.hpp>
int main() { return nlohmann::json::parse("{\"a\": 1}")["a"].get<int>() == 1 ? 0 : 1; }' >"$probe/t.cpp"
c++ -std=c++20 -fsyntax-only -I"$DEST/include" "$probe/t.cpp" \
  || die "the copied headers do not compile"

size=$(du -sm .gpu | cut -f1)
[ "$size" -lt 48 ] || die ".gpu is ${size} MiB: too much to carry (64 MiB for the whole tree)"
log ".gpu is ${size} MiB"
log "ready. On the GPU machine run: command 'bash scripts/gpu_check.sh', carry [\".gpu\"], timeout_s 600"
