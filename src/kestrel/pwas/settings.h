#pragma once

// Configuration of one CPU solve, its validation and the resolution of the
// capacity hints. The record is read-only for the whole solve.

#include <cstdint>
#include <string>

#include "kestrel/export.h"
#include "kestrel/solve/search_options.h"
#include "kestrel/solve/sizes.h"  // nextPowerOfTwo, with the capacity functions below
#include "kestrel/solve/solve_settings.h"

namespace kestrel {

// The CPU solver's settings: the shared ones, plus the final report.
struct SolverSettings : SolveSettings {
  // The final report of a solve. Not reachable from Python, whose function
  // always passes false; kept for C++ callers of the entry.
  bool verbose = false;
};

// Checks the ten storage-type names; throws std::invalid_argument on the first
// bad one, in the order node_state, open_index, closed_key, parent_index,
// parent_move, path_cost, heuristic, total_cost, open_cost, closed_cost.
void validateMemoryDtypes(const SolverSettings& settings);

// A negative hint throws std::invalid_argument "<name> must be non-negative";
// 0 selects `fallback`; a positive hint is returned unchanged.
KESTREL_EXPORT std::uint64_t capacityHintOrDefault(std::int64_t hint, std::uint64_t fallback, const char* name);

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

// Bytes each structure reserves per unit of initial capacity: a node id per
// OPEN entry, a pointer per node-store entry, a {hash, node} slot per CLOSED
// slot (CLOSED rounds its capacity up to a power of two first).
inline constexpr std::uint64_t kOpenEntryBytes = sizeof(std::uint32_t);
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
