#pragma once

// Rebuilds the move list from a goal node's parent chain, either from the move
// numbers stored in the nodes ("stored") or by re-deriving each move from the
// environments ("infer").

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "kestrel/env/environment.h"
#include "kestrel/pwas/search_node.h"
#include "kestrel/solve/search_options.h"

namespace kestrel {

inline constexpr const char* kInferMoveMessage = "Unable to infer a valid move between adjacent C++ path states";

// The smallest move number m for which from.apply_move(m) has the bytes of
// `to_state`; throws std::runtime_error when there is none.
std::int32_t inferMove(const Environment& from, StateBytes to_state);

template <typename Costs>
std::vector<std::int32_t> reconstructPath(const SearchNode<Costs>* goal, MoveSource move_source) {
  std::vector<const SearchNode<Costs>*> path;
  for (const SearchNode<Costs>* node = goal; node != nullptr; node = node->parent) path.push_back(node);
  std::reverse(path.begin(), path.end());

  const bool stored = move_source == MoveSource::Stored;
  std::vector<std::int32_t> moves;
  moves.reserve(path.empty() ? 0 : path.size() - 1);
  for (std::size_t i = 1; i < path.size(); ++i) {
    moves.push_back(stored ? path[i]->move : inferMove(*path[i - 1]->env, path[i]->state));
  }
  return moves;
}

}  // namespace kestrel
