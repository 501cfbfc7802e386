#pragma once

// The settings every solve takes, whichever solver runs it. Each solver's own
// record (SolverSettings for the CPU solver, TorchAStarConfig for the tensor
// solver) derives from it, adds its few settings and sets its own defaults.
// Records are read-only for the whole solve; the enumerated options are
// parsed once, by validateSearchOptions, at the solve's entry.

#include <cstdint>
#include <string>

#include "kestrel/solve/profiling_options.h"
#include "kestrel/solve/search_options.h"

namespace kestrel {

struct SolveSettings {
  float weight = 1.0f;                             // multiplies the path cost: f = weight * g + h
  std::int32_t batch_size = 1;                     // nodes popped per iteration
  std::string device;                              // the network's torch device (the tensor solver's search device too)
  bool print_internals = false;                    // per-iteration "Itr:" and "Times -" lines
  std::string solution_move_source = "infer";      // "infer" | "stored"
  std::string duplicate_update_mode = "in_place";  // "in_place" | "new_slot"
  std::string hashtable_algorithm = "python_dict";  // "linear_probing" | "python_dict"
  std::string goal_stop_mode = "stop_before_goal";  // "stop_before_goal" | "expand_popped_batch"
  std::int64_t search_budget = 0;                   // generated-node cap; 0 = none
  float hash_capacity_factor = 4.0f;                // CLOSED slots per node-store entry when derived
  std::string capacity_mode = "adaptive";           // "adaptive" | "fixed"
  // Initial capacities; 0 lets the solver choose. Hard limits when fixed.
  std::int64_t initial_open_size = 0;
  std::int64_t initial_closed_size = 0;
  std::int64_t initial_node_store_size = 0;
  bool operation_breakdown = false;  // per-operation timing totals in the result
  bool cuda_sync_timing = false;     // synchronise the device before each timed region ends
  ProfilingOptions profiling;
  // The ten storage types, by name; which names each solver accepts is its own.
  std::string memory_dtype_node_state = "int64";
  std::string memory_dtype_open_index = "int64";
  std::string memory_dtype_open_cost = "float32";
  std::string memory_dtype_closed_key = "int64";
  std::string memory_dtype_closed_cost = "float32";
  std::string memory_dtype_parent_index = "int64";
  std::string memory_dtype_parent_move = "int64";
  std::string memory_dtype_path_cost = "float32";
  std::string memory_dtype_heuristic = "float32";
  std::string memory_dtype_total_cost = "float32";
};

// Parses the enumerated options (solution_move_source, duplicate_update_mode,
// goal_stop_mode, hash_capacity_factor, capacity_mode, hashtable_algorithm,
// in that order), then checks search_budget and weight; throws
// std::invalid_argument with the first failure. Both solvers call it.
SearchOptions validateSearchOptions(const SolveSettings& settings);

// The NUL-byte checks of a solve's strings, in the order env, package_path,
// device, profile_dir, profile_run_id.
void requireNoNulBytes(const std::string& env, const std::string& package_path, const SolveSettings& settings);

}  // namespace kestrel
