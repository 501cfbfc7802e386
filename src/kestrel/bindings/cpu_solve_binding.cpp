// run_weighted_astar: the CPU solver as a Python function.

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include "kestrel/bindings/interpreter_exit.h"
#include "kestrel/bindings/python_int.h"
#include "kestrel/bindings/solve_binding.h"
#include "kestrel/pwas/entry.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace kestrel {
namespace {

constexpr const char* kRunWeightedAStarDoc = R"doc(Solve a single puzzle state via weighted A* search.

Args:
    state: Contiguous CPU uint8 tensor with shape `(state_dim,)`.
    env: Logical environment name registered by an installed environment plugin.
    package_path: Path to the AOTInductor package (e.g., model.pt2).
    weight: Weighted A* path-cost coefficient.
    batch_size: Maximum C++ CPU expansion and inference work per step.
    device: Torch device string for running the heuristic network.
    print_internals: If True, emit per-iteration search internals.
    solution_move_source: Either "infer" or "stored" for final path move reconstruction.
    duplicate_update_mode: Either "in_place" or "new_slot" for accepted lower-cost duplicates.
    hashtable_algorithm: Either "linear_probing" or "python_dict" for CLOSED probing.
    goal_stop_mode: Either "stop_before_goal" or "expand_popped_batch" for selected frontier handling.
    search_budget: Generated-node cap, or 0 for no cap.
    hash_capacity_factor: CLOSED capacity multiplier used with node-store sizing.
    capacity_mode: Either "adaptive" or "fixed" for capacity growth.
    initial_open_size: Initial OPEN capacity hint, or 0 to use the C++ default.
    initial_closed_size: Initial CLOSED capacity hint, or 0 to use the C++ default.
    initial_node_store_size: Initial node-store capacity hint, or 0 to use the C++ default.
    profile_dir: Directory for C++ profiling artifacts.
    profile_trace: Whether to emit a Chrome trace when profiling is enabled.
    profile_summary: Whether to emit a C++ timing summary when profiling is enabled.
    profile_run_id: Run identifier embedded in profiling artifact names.
    operation_breakdown: Whether to collect per-operation timing totals.
    cuda_sync_timing: Whether CUDA timing synchronizes measured regions.
    memory_dtype_node_state: C++ node-state storage dtype name.
    memory_dtype_open_index: C++ OPEN index storage dtype name.
    memory_dtype_open_cost: C++ OPEN cost storage dtype name.
    memory_dtype_closed_key: C++ CLOSED key storage dtype name.
    memory_dtype_closed_cost: C++ CLOSED cost storage dtype name.
    memory_dtype_parent_index: C++ parent-index storage dtype name.
    memory_dtype_parent_move: C++ parent-move storage dtype name.
    memory_dtype_path_cost: C++ path-cost storage dtype name.
    memory_dtype_heuristic: C++ heuristic storage dtype name.
    memory_dtype_total_cost: C++ total-cost storage dtype name.

Returns:
    Dict with keys `moves`, `nodes_generated`, `solve_time`, `solved`,
    `search_budget_exceeded`, and optionally `operation_timings` when requested.

Raises:
    ValueError: If `state` is empty or `batch_size <= 0`.
    RuntimeError: If the C++ solver cannot initialize or complete.
)doc";

nb::dict runWeightedAStar(const StateArray& state, const std::string& env, const std::string& package_path,
                          float weight, PythonInt<std::int32_t> batch_size, const std::string& device,
                          bool print_internals, const std::string& solution_move_source,
                          const std::string& duplicate_update_mode, const std::string& hashtable_algorithm,
                          const std::string& goal_stop_mode, PythonInt<std::int64_t> search_budget,
                          float hash_capacity_factor, const std::string& capacity_mode,
                          PythonInt<std::int64_t> initial_open_size, PythonInt<std::int64_t> initial_closed_size,
                          PythonInt<std::int64_t> initial_node_store_size, const std::string& profile_dir,
                          bool profile_trace, bool profile_summary, const std::string& profile_run_id,
                          bool operation_breakdown, bool cuda_sync_timing, const std::string& memory_dtype_node_state,
                          const std::string& memory_dtype_open_index, const std::string& memory_dtype_open_cost,
                          const std::string& memory_dtype_closed_key, const std::string& memory_dtype_closed_cost,
                          const std::string& memory_dtype_parent_index, const std::string& memory_dtype_parent_move,
                          const std::string& memory_dtype_path_cost, const std::string& memory_dtype_heuristic,
                          const std::string& memory_dtype_total_cost) {
  const std::vector<std::uint8_t> state_bytes = checkedStateBytes(state, batch_size.value);

  SolverSettings settings;
  settings.weight = weight;
  settings.batch_size = batch_size.value;
  settings.device = device;
  settings.print_internals = print_internals;
  settings.solution_move_source = solution_move_source;
  settings.duplicate_update_mode = duplicate_update_mode;
  settings.hashtable_algorithm = hashtable_algorithm;
  settings.goal_stop_mode = goal_stop_mode;
  settings.search_budget = search_budget.value;
  settings.hash_capacity_factor = hash_capacity_factor;
  settings.capacity_mode = capacity_mode;
  settings.initial_open_size = initial_open_size.value;
  settings.initial_closed_size = initial_closed_size.value;
  settings.initial_node_store_size = initial_node_store_size.value;
  settings.verbose = false;
  settings.operation_breakdown = operation_breakdown;
  settings.cuda_sync_timing = cuda_sync_timing;
  settings.profiling = profilingOptions(profile_dir, profile_trace, profile_summary, profile_run_id, "cpp_pwas");
  settings.memory_dtype_node_state = memory_dtype_node_state;
  settings.memory_dtype_open_index = memory_dtype_open_index;
  settings.memory_dtype_open_cost = memory_dtype_open_cost;
  settings.memory_dtype_closed_key = memory_dtype_closed_key;
  settings.memory_dtype_closed_cost = memory_dtype_closed_cost;
  settings.memory_dtype_parent_index = memory_dtype_parent_index;
  settings.memory_dtype_parent_move = memory_dtype_parent_move;
  settings.memory_dtype_path_cost = memory_dtype_path_cost;
  settings.memory_dtype_heuristic = memory_dtype_heuristic;
  settings.memory_dtype_total_cost = memory_dtype_total_cost;

  SolveResult result;
  {
    OutsideInterpreter outside;
    result = run_parallel_weighted_astar(state_bytes, env, package_path, settings);
  }
  return resultDict(result);
}

}  // namespace

void defineRunWeightedAStar(nb::module_& module) {
  module.def("run_weighted_astar", &runWeightedAStar, "state"_a.noconvert(), "env"_a, "package_path"_a, "weight"_a,
             "batch_size"_a, "device"_a, "print_internals"_a.noconvert() = false, "solution_move_source"_a = "infer",
             "duplicate_update_mode"_a = "in_place", "hashtable_algorithm"_a = "python_dict",
             "goal_stop_mode"_a = "stop_before_goal", "search_budget"_a = PythonInt<std::int64_t>{0},
             "hash_capacity_factor"_a = 4.0f, "capacity_mode"_a = "adaptive",
             "initial_open_size"_a = PythonInt<std::int64_t>{0}, "initial_closed_size"_a = PythonInt<std::int64_t>{0},
             "initial_node_store_size"_a = PythonInt<std::int64_t>{0}, "profile_dir"_a = "",
             "profile_trace"_a.noconvert() = false, "profile_summary"_a.noconvert() = false, "profile_run_id"_a = "",
             "operation_breakdown"_a.noconvert() = false, "cuda_sync_timing"_a.noconvert() = false,
             "memory_dtype_node_state"_a = "int64", "memory_dtype_open_index"_a = "int64",
             "memory_dtype_open_cost"_a = "float32", "memory_dtype_closed_key"_a = "int64",
             "memory_dtype_closed_cost"_a = "float32", "memory_dtype_parent_index"_a = "int64",
             "memory_dtype_parent_move"_a = "int64", "memory_dtype_path_cost"_a = "float32",
             "memory_dtype_heuristic"_a = "float32", "memory_dtype_total_cost"_a = "float32", kRunWeightedAStarDoc);
}

}  // namespace kestrel
