#pragma once

// The moves of a tensor solve, from the start state to the goal node, along
// the parent links of the node store: read from the stored parent moves, or
// inferred again by expanding each parent and finding the child equal to the
// next state (the lowest matching move number).

#include <cstdint>
#include <vector>

#include "kestrel/env/torch_env.h"
#include "kestrel/solve/search_options.h"
#include "kestrel/torchgpu/node_store.h"

namespace kestrel {

inline constexpr const char* kTorchInferMoveMessage =
    "Unable to infer a valid move between adjacent C++ GPU path states";
inline constexpr const char* kParentCycleMessage = "The node store's parent links do not lead back to the start node";

// The walk is bounded by the store's size: links that never reach the start
// node (a cycle) fail with kParentCycleMessage instead of looping forever.
KESTREL_EXPORT std::vector<std::int32_t> reconstructMoves(const TorchNodeStore& store, const TorchEnv& environment,
                                                          std::int64_t goal_node, MoveSource source);

}  // namespace kestrel
