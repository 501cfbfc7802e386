#pragma once

// Configuration of one CPU solve, its validation and the resolution of the
// capacity hints. The record is read-only for the whole solve.

#include <cstdint>
#include <string>

#include "kestrel/export.h"
#include "kestrel/profiling/profiling_options.h"
#include "kestrel/solve/search_options.h"

namespace kestrel {

struct SolverSettings {
  float weight = 1.0f;  // multiplies the path cost: f = weight * g + h
  std::int32_t batch_size = 1;
  std::string device;
  bool print_internals = false;
  std::string solution_move_source = "infer";     // "infer" | "stored"
  std::string duplicate_update_mode = "in_place";  // "in_place" | "new_slot"
  std::string hashtable_algorithm = "python_dict";  // "linear_probing" | "python_dict"
  std::string goal_stop_mode = "stop_before_goal";  // "stop_before_goal" | "expand_popped_batch"
  std::int64_t search_budget = 0;                   // generated-node cap; 0 = none
  float hash_capacity_factor = 4.0f;
  std::string capacity_mode = "adaptive";  // "adaptive" | "fixed"
  std::int64_t initial_open_size = 0;
  std::int64_t initial_closed_size = 0;
  std::int64_t initial_node_store_size = 0;
  bool verbose = false;
  bool operation_breakdown = false;
  bool cuda_sync_timing = false;
  ProfilingOptions profiling;
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

// Checks the ten storage-type names; throws std::invalid_argument on the first
// bad one, in the order node_state, open_index, closed_key, parent_index,
// parent_move, path_cost, heuristic, total_cost, open_cost, closed_cost.
void validateMemoryDtypes(const SolverSettings& settings);

// Checks the search options in the order solution_move_source,
// duplicate_update_mode, goal_stop_mode, hash_capacity_factor, capacity_mode,
// hashtable_algorithm, search_budget, weight; throws std::invalid_argument.
// Returns the parsed options.
SearchOptions validateSearchOptions(const SolverSettings& settings);

// A negative hint throws std::invalid_argument "<name> must be non-negative";
// 0 selects `fallback`; a positive hint is returned unchanged.
KESTREL_EXPORT std::uint64_t capacityHintOrDefault(std::int64_t hint, std::uint64_t fallback, const char* name);

// Smallest power of two >= n (1 for 0 and 1). n must not exceed 2^63.
KESTREL_EXPORT std::uint64_t nextPowerOfTwo(std::uint64_t n);

// True exactly for "linear_probing" and "python_dict".
KESTREL_EXPORT bool isHashtableAlgorithm(const std::string& name);

// Initial capacities requested of OPEN, the node store and CLOSED (before the
// CLOSED table rounds its request to a power of two). Resolved in that order,
// so a negative OPEN hint is reported first.
struct InitialCapacities {
  std::uint64_t open = 0;
  std::uint64_t node_store = 0;
  std::uint64_t closed = 0;
};
InitialCapacities resolveCapacities(const SolverSettings& settings);

// Bytes each structure reserves per unit of initial capacity: a pointer per
// OPEN entry and per node-store entry, a {hash, node} slot per CLOSED slot
// (CLOSED rounds its capacity up to a power of two first).
inline constexpr std::uint64_t kOpenEntryBytes = sizeof(void*);
inline constexpr std::uint64_t kNodeStoreEntryBytes = sizeof(void*);
inline constexpr std::uint64_t kClosedSlotBytes = 2 * sizeof(std::uint64_t);

// Refuses, with std::invalid_argument naming the setting and the memory it
// asks for, capacities whose initial reservation exceeds `available_bytes`.
void requireReservable(const InitialCapacities& capacities, const SolverSettings& settings,
                       std::uint64_t available_bytes);

// Memory the system can give this process now (MemAvailable), or its
// physical memory where that is unknown.
std::uint64_t availableMemoryBytes();

}  // namespace kestrel
