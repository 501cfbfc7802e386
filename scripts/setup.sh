#!/usr/bin/env bash
# Sets up a fresh machine and builds everything: Debian packages, the project
# virtual environment (.venv), the kestrel_cpp extension with its C++ tests, and
# the bundled kestrel_puzzles plugin. Idempotent; quick when nothing changed.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV=$ROOT/.venv
PY=$VENV/bin/python

log() { printf '[setup] %s\n' "$*"; }

# --- System packages (root on this kind of machine).
debs=(g++ cmake ninja-build ccache nlohmann-json3-dev libgtest-dev python3-venv)
missing=()
for pkg in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if ((${#missing[@]})); then
  log "installing Debian packages: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# --- Python environment. torch is pinned to the CPU build; pip must never be
# left to resolve torch on its own (that pulls a multi-gigabyte CUDA build).
if [ ! -x "$PY" ]; then
  log "creating $VENV"
  python3 -m venv "$VENV"
fi
stamp=$VENV/.requirements.sha
want=$(sha256sum requirements-dev.txt | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  log "installing Python requirements"
  "$PY" -m pip install -q --disable-pip-version-check -r requirements-dev.txt
  echo "$want" >"$stamp"
fi

# One build at a time in the shared build tree.
mkdir -p build
exec 9>build/.lock
flock 9

export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/ccache}
# Clones in other folders (CI's) share cached objects.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$ROOT} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

# --- The extension, built without isolation against the installed torch, in a
# persistent build tree that also holds the C++ tests.
log "building kestrel_cpp"
"$PY" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
  -C build-dir=build/kestrel_cpp -C cmake.define.KESTREL_BUILD_TESTS=ON .

# --- The bundled plugin, built against the installed kestrel_cpp like any
# third-party plugin.
if [ -d plugins/kestrel_puzzles ]; then
log "building kestrel_puzzles"
"$PY" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
  -C build-dir="$ROOT/build/kestrel_puzzles" plugins/kestrel_puzzles
fi

log "done"
