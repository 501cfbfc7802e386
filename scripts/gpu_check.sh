#!/usr/bin/env bash
# GPU check of the tensor solver, run on the GPU machine from the repository
# root: builds _backend_impl and _testing against that machine's torch,
# assembles an importable kestrel_cpp with the kestrel_puzzles plugin under
# build/gpu-site, compiles the Manhattan packages for CUDA, runs the tensor
# tests on cuda:0 through the public function, then prints the benchmark table
# and the launch table (operations and host reads per iteration, with the
# time per iteration from CUDA events).
# Under 8 minutes. With OUT set, everything is logged to $OUT/gpu_check.log,
# beside the CMake configure logs and the tests' JUnit XML.
#
# First, here: bash scripts/gpu_prepare.sh   (fills the ignored folder .gpu/)
# Then, through the device tool:
#   run(command="bash scripts/gpu_check.sh", carry=[".gpu"], timeout_s=600)
#
# That machine has no internet and no Debian packages beyond its image:
# nlohmann JSON comes from .gpu/, gtest is not needed (C++ tests stay off).
# PYTHON overrides the interpreter (default: python3 on PATH).
set -Eeuo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
START=$SECONDS
TOTAL_SECONDS=${GPU_CHECK_SECONDS:-470}

# With OUT set, run again under tee, so that the log is complete when this exits.
if [ -n "${OUT:-}" ] && [ -z "${GPU_CHECK_TEED:-}" ]; then
  mkdir -p "$OUT"
  GPU_CHECK_TEED=1 bash "$ROOT/scripts/gpu_check.sh" "$@" 2>&1 | tee "$OUT/gpu_check.log"
  exit "${PIPESTATUS[0]}"
fi
export PYTHONUNBUFFERED=1

log() { printf '[gpu_check %3ds] %s\n' "$((SECONDS - START))" "$*"; }
die() { log "ERROR: $*"; exit 1; }
trap 'log "FAILED at line $LINENO (exit $?): $BASH_COMMAND"' ERR
left() { echo $((TOTAL_SECONDS - (SECONDS - START))); }

# ---------------------------------------------------------------- checks
log "checking the machine"
NLOHMANN_DIR=$ROOT/.gpu/nlohmann/share/cmake/nlohmann_json
[ -f "$NLOHMANN_DIR/nlohmann_jsonConfig.cmake" ] \
  || die "$NLOHMANN_DIR is missing: run 'bash scripts/gpu_prepare.sh' on the build machine and carry [\".gpu\"]"
[ -f CMakeLists.txt ] && [ -d plugins/kestrel_puzzles ] || die "not the repository root: $ROOT"

PY=${PYTHON:-$(command -v python3 || true)}
[ -n "$PY" ] && [ -x "$PY" ] || die "no python3 on PATH"
# cmake and ninja may come as Python packages beside the interpreter.
export PATH="$(dirname "$PY"):$PATH"

command -v nvidia-smi >/dev/null || die "nvidia-smi not found: no NVIDIA driver here"
nvidia-smi --query-gpu=name,memory.total,driver_version --format=csv,noheader || die "nvidia-smi cannot read the GPU"
for tool in cmake ninja c++; do
  command -v "$tool" >/dev/null || die "$tool not found"
done
log "$(cmake --version | head -n 1); ninja $(ninja --version); $(c++ --version | head -n 1)"
cmake_version=$(cmake --version | head -n 1 | awk '{print $3}')
[ "$(printf '%s\n' 3.24 "$cmake_version" | sort -V | head -n 1)" = 3.24 ] || die "CMake $cmake_version is older than 3.24"

"$PY" - <<'EOF' || die "the Python environment cannot build or run the extension (see above)"
import os, sys, sysconfig
print(f"python {sys.version.split()[0]} at {sys.executable}")
if sys.version_info < (3, 11):
    sys.exit("Python >= 3.11 is required")
header = os.path.join(sysconfig.get_paths()["include"], "Python.h")
if not os.path.isfile(header):
    sys.exit(f"no Python headers: {header} is missing")
import torch
print(f"torch {torch.__version__}, CUDA {torch.version.cuda}, cuda available: {torch.cuda.is_available()}")
if not torch.cuda.is_available():
    sys.exit("torch.cuda.is_available() is False")
print(f"device 0: {torch.cuda.get_device_name(0)}, capability {torch.cuda.get_device_capability(0)}")
import nanobind, numpy
print(f"nanobind {nanobind.__version__}, numpy {numpy.__version__}")
EOF

# CUDA toolkit for torch's CMake package (it looks for nvcc and the CUDA libraries).
cuda_args=()
nvcc=$(command -v nvcc || true)
if [ -z "$nvcc" ]; then
  for candidate in "${CUDA_HOME:-}" /usr/local/cuda; do
    if [ -n "$candidate" ] && [ -x "$candidate/bin/nvcc" ]; then nvcc=$candidate/bin/nvcc; break; fi
  done
fi
if [ -n "$nvcc" ]; then
  cuda_root=$(dirname "$(dirname "$(readlink -f "$nvcc")")")
  export CUDA_HOME=${CUDA_HOME:-$cuda_root} CUDACXX=${CUDACXX:-$nvcc}
  cuda_args=(-DCUDAToolkit_ROOT="$cuda_root" -DCMAKE_CUDA_COMPILER="$nvcc")
  log "nvcc: $nvcc ($("$nvcc" --version | grep -o 'release [0-9.]*' || echo 'version unknown'))"
else
  log "WARNING: no nvcc found; torch's CMake package may fail to find the CUDA toolkit"
fi
# No GPU probing in CMake: name this GPU's architecture.
if [ -z "${TORCH_CUDA_ARCH_LIST:-}" ]; then
  TORCH_CUDA_ARCH_LIST=$("$PY" -c "import torch; print('%d.%d' % torch.cuda.get_device_capability(0))")
  export TORCH_CUDA_ARCH_LIST
fi
log "TORCH_CUDA_ARCH_LIST=$TORCH_CUDA_ARCH_LIST"

# ---------------------------------------------------------------- build
SITE=$ROOT/build/gpu-site
JOBS=$(nproc)
common=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$PY" "${cuda_args[@]}")

mkdir -p build
log "configuring kestrel_cpp (build/gpu)"
cmake -S . -B build/gpu "${common[@]}" -DKESTREL_BUILD_TESTS=OFF \
  -Dnlohmann_json_DIR="$NLOHMANN_DIR" -DCMAKE_PREFIX_PATH="$ROOT/.gpu/nlohmann" >build/gpu-configure.log 2>&1 \
  || { cat build/gpu-configure.log; die "configuring kestrel_cpp failed"; }
grep -E '^-- (Found|Caffe2|CUDA|Torch)' build/gpu-configure.log || true
if [ -n "${OUT:-}" ]; then cp build/gpu-configure.log "$OUT/gpu-configure.log"; fi

log "building _backend_impl and _testing ($JOBS jobs)"
cmake --build build/gpu --target _backend_impl _testing -j "$JOBS"

log "assembling kestrel_cpp in ${SITE#"$ROOT"/}"
rm -rf "$SITE"
cmake --install build/gpu --prefix "$SITE" >/dev/null
cp -r python/kestrel_cpp/. "$SITE/kestrel_cpp/"
export PYTHONPATH=$SITE${PYTHONPATH:+:$PYTHONPATH}
"$PY" - "$SITE" <<'EOF' || die "the assembled kestrel_cpp does not import or lacks the tensor solver"
import sys
import kestrel_cpp
import kestrel_cpp._backend_impl as backend
import kestrel_cpp._testing as testing
if not kestrel_cpp.__file__.startswith(sys.argv[1]):
    sys.exit(f"imported kestrel_cpp from {kestrel_cpp.__file__}, not from {sys.argv[1]}")
missing = [f"{m.__name__}.{name}" for m, name in ((backend, "run_torch_gpu_astar"), (testing, "run_torch_astar_on_device"))
           if not hasattr(m, name)]
if missing:
    sys.exit("missing: " + ", ".join(missing))
print(f"kestrel_cpp from {kestrel_cpp.__file__}; cmake dir {kestrel_cpp.cmake_dir()}")
EOF

log "configuring and building kestrel_puzzles (build/gpu-puzzles)"
cmake -S plugins/kestrel_puzzles -B build/gpu-puzzles "${common[@]}" >build/gpu-puzzles-configure.log 2>&1 \
  || { cat build/gpu-puzzles-configure.log; die "configuring kestrel_puzzles failed"; }
if [ -n "${OUT:-}" ]; then cp build/gpu-puzzles-configure.log "$OUT/gpu-puzzles-configure.log"; fi
cmake --build build/gpu-puzzles -j "$JOBS"
cmake --install build/gpu-puzzles --prefix "$SITE" >/dev/null
cp -r plugins/kestrel_puzzles/python/kestrel_puzzles/. "$SITE/kestrel_puzzles/"
ENVS=$("$PY" -c "import kestrel_puzzles as p; print(' '.join(p.ENVIRONMENTS))") \
  || die "the assembled kestrel_puzzles does not import"
log "kestrel_puzzles registers: $ENVS"

# ---------------------------------------------------------------- packages
log "compiling the Manhattan packages, CPU and CUDA, in parallel"
mkdir -p build/gpu-logs
pids=()
names=()
for env in $ENVS; do
  "$PY" -c "import kestrel_puzzles as p; print(p.manhattan_package('$env'))" \
    >"build/gpu-logs/manhattan-cpu-$env.log" 2>&1 &
  pids+=($!); names+=("manhattan-cpu-$env")
  "$PY" -c "import sys; sys.path.insert(0, 'benchmarks'); import tensor_solver as t; print(t.cuda_manhattan_package('$env'))" \
    >"build/gpu-logs/manhattan-cuda-$env.log" 2>&1 &
  pids+=($!); names+=("manhattan-cuda-$env")
done
failed=0
for i in "${!pids[@]}"; do
  if wait "${pids[$i]}"; then
    log "${names[$i]}: $(tail -n 1 "build/gpu-logs/${names[$i]}.log")"
  else
    cat "build/gpu-logs/${names[$i]}.log"
    log "${names[$i]}: FAILED"
    failed=1
  fi
done
[ "$failed" -eq 0 ] || die "compiling a Manhattan package failed"

# The tests take their CUDA packages from one folder, as manhattan-<env>.pt2.
export KESTREL_TENSOR_PACKAGE_DIR=$PWD/build/gpu-packages
mkdir -p "$KESTREL_TENSOR_PACKAGE_DIR"
for env in $ENVS; do
  package=$(tail -n 1 "build/gpu-logs/manhattan-cuda-$env.log")
  cp "$package" "$KESTREL_TENSOR_PACKAGE_DIR/manhattan-$env.pt2"
  cp "$package.json" "$KESTREL_TENSOR_PACKAGE_DIR/manhattan-$env.pt2.json"
done

# ---------------------------------------------------------------- tests
tests_rc=0
if ! "$PY" -c "import pytest" 2>/dev/null; then
  log "pytest is not installed: skipping tests/python/test_tensor_solver.py"
elif [ ! -f tests/python/test_tensor_solver.py ]; then
  log "ERROR: tests/python/test_tensor_solver.py does not exist"
  tests_rc=1
else
  limit=$(( $(left) - 120 ))
  [ "$limit" -gt 200 ] && limit=200
  [ "$limit" -ge 30 ] || die "only $(left) s left before the tests"
  log "the tensor solver's tests on cuda:0 (KESTREL_TENSOR_DEVICE=cuda:0, at most $limit s)"
  junit=()
  if [ -n "${OUT:-}" ]; then junit=(--junitxml="$OUT/test_tensor_solver.xml"); fi
  KESTREL_TENSOR_DEVICE=cuda:0 timeout "$limit" "$PY" -m pytest -q -rfEs -p no:cacheprovider --durations=10 \
    "${junit[@]}" tests/python/test_tensor_solver.py tests/python/test_both_solvers.py -k "tensor" || tests_rc=$?
  [ "$tests_rc" -eq 124 ] && log "ERROR: the tests ran past $limit s"
  log "tests exit status: $tests_rc"
fi

# ---------------------------------------------------------------- benchmark
bench_rc=0
limit=$(( $(left) - 5 ))
if [ "$limit" -lt 60 ]; then
  log "ERROR: only $(left) s left: skipping the benchmark"
  bench_rc=1
else
  log "benchmarks/tensor_solver.py (at most $limit s)"
  timeout "$limit" "$PY" benchmarks/tensor_solver.py --quick --states 3 --cuda-repeats 5 --cuda-budget 2000000 \
    || bench_rc=$?
  [ "$bench_rc" -eq 124 ] && log "ERROR: the benchmark ran past $limit s"
fi
limit=$(( $(left) - 5 ))
if [ "$limit" -ge 30 ]; then
  log "benchmarks/tensor_launches.py on cuda:0 (at most $limit s)"
  timeout "$limit" "$PY" benchmarks/tensor_launches.py --device cuda:0 --repeats 3 || bench_rc=$?
else
  log "ERROR: only $(left) s left: skipping the launch table"
  bench_rc=1
fi

nvidia-smi --query-gpu=name,temperature.gpu,clocks.sm,memory.used --format=csv,noheader || true
log "done in $((SECONDS - START)) s: tests exit $tests_rc, benchmark exit $bench_rc"
if [ "$tests_rc" -ne 0 ] || [ "$bench_rc" -ne 0 ]; then
  exit 1
fi
