#pragma once

// Configuration of one tensor solve, the storage-type names it accepts and
// the sizes it derives from the workload. Parsed once at the entry; nothing
// below the entry reads an option string.

#include <c10/core/ScalarType.h>

#include <cstdint>
#include <string>

#include "kestrel/export.h"
#include "kestrel/solve/solve_settings.h"

namespace kestrel {

// The tensor solver's settings: the shared ones with its own storage-type
// and device defaults, plus the rows per network call.
struct TorchAStarConfig : SolveSettings {
  TorchAStarConfig() {
    device = "cuda:0";
    memory_dtype_node_state = "uint8";
    memory_dtype_closed_key = "uint8";
    memory_dtype_parent_move = "int8";
  }
  std::int32_t nnet_batch_size = 0;  // rows per network call; <= 0: automatic
};

// "float32", "float64", "int64", "int32", "int16", "int8", "uint8", "bool",
// "float16", "bfloat16"; anything else throws std::invalid_argument
// "Unsupported scalar type name: <name>".
KESTREL_EXPORT c10::ScalarType scalarTypeFromName(const std::string& name);

// The ten storage types of a config, converted in the entry's order (node
// state, OPEN index, OPEN cost, path cost, heuristic, total cost, parent
// index, parent move, CLOSED key, CLOSED cost); the first unknown name throws.
struct TorchStorageTypes {
  c10::ScalarType node_state, open_index, open_cost, path_cost, heuristic, total_cost, parent_index, parent_move,
      closed_key, closed_cost;
};
KESTREL_EXPORT TorchStorageTypes storageTypesOf(const TorchAStarConfig& config);

// The largest n such that every integer from -1 (or from 0 when
// `with_minus_one` is false) up to n survives a round trip through `type`;
// -1 when there is no such n (bool or uint8 cannot hold -1). A storage type
// narrower than the values it must hold would silently wrap them; the solver
// refuses such values instead.
KESTREL_EXPORT std::int64_t largestExactIndex(c10::ScalarType type, bool with_minus_one = true);

// Refuses, with std::invalid_argument naming the setting, a bool storage type
// for any of the five costs (path, heuristic, total, OPEN, CLOSED): it holds
// no cost but 0 and 1, and the search would silently go wrong.
KESTREL_EXPORT void requireNumericCostTypes(const TorchStorageTypes& types);

// The range of values `type` holds without wrapping or becoming infinite;
// unbounded (infinities) for float32, float64 and int64, whose ranges no
// search reaches. Costs stored in a bounded type are checked against it.
struct StorableRange {
  double lowest;
  double highest;
  bool bounded() const;
};
KESTREL_EXPORT StorableRange storableRange(c10::ScalarType type);

// Batch and capacity sizes of one solve, from the config and the environment's
// number of moves.
struct TorchDerivedSizes {
  std::int64_t batch = 1;  // nodes popped per iteration
  std::int64_t open_capacity = 0;
  std::int64_t node_store_capacity = 0;
  std::int64_t closed_capacity = 0;  // a request; the table rounds it up to a power of two
  std::int64_t nnet_batch = 1;       // rows per network call, at most 4096
};
KESTREL_EXPORT TorchDerivedSizes deriveTorchSizes(const TorchAStarConfig& config, std::int64_t num_moves);

}  // namespace kestrel
