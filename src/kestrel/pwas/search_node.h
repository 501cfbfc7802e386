#pragma once

// One node of the CPU search: its environment, a copy of its state bytes (the
// CLOSED key), its path and its costs.

#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "kestrel/env/environment.h"

namespace kestrel {

// Stands in for closed_cost when its type equals the OPEN-cost type: the
// record then carries no such field, and writes to it vanish.
struct OmittedCost {
  template <typename T>
  OmittedCost& operator=(T) {
    return *this;
  }
};

template <typename Costs>
struct SearchNode {
  using OpenCost = typename Costs::OpenCost;
  using ClosedCost = std::conditional_t<std::is_same_v<typename Costs::ClosedCost, OpenCost>, OmittedCost,
                                        typename Costs::ClosedCost>;
  using Heuristic = typename Costs::Heuristic;

  std::unique_ptr<Environment> env;
  std::vector<std::uint8_t> state;
  std::int32_t depth = 0;  // moves from the start: the path cost g
  std::int32_t move = -1;  // position in the parent's expand() result
  OpenCost open_cost = 0;  // priority f
  [[no_unique_address]] ClosedCost closed_cost{};
  Heuristic heuristic = 0;
  SearchNode* parent = nullptr;  // non-owning; null for the start node
};

// Takes ownership of `env` and copies its state bytes. open_cost starts at 0
// and closed_cost at `depth`; the parent is set by the caller.
template <typename Costs>
std::unique_ptr<SearchNode<Costs>> makeNode(std::unique_ptr<Environment> env, std::int32_t depth, std::int32_t move,
                                            typename Costs::Heuristic h) {
  auto node = std::make_unique<SearchNode<Costs>>();
  node->state = env->state();
  node->env = std::move(env);
  node->depth = depth;
  node->move = move;
  node->open_cost = 0;
  node->closed_cost = static_cast<typename Costs::ClosedCost>(depth);
  node->heuristic = h;
  return node;
}

}  // namespace kestrel
