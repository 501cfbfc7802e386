#include "kestrel/torchgpu/solution_path.h"

#include <ATen/ATen.h>

#include <algorithm>
#include <stdexcept>

namespace kestrel {
namespace {

std::vector<std::int64_t> pathTo(const TorchNodeStore& store, std::int64_t goal_node) {
  // One scalar read per step: paths are short beside the search itself.
  const at::Tensor& parent = store.parentIndex();
  std::vector<std::int64_t> path{goal_node};
  for (std::int64_t node = parent[goal_node].item<std::int64_t>(); node >= 0;
       node = parent[node].item<std::int64_t>()) {
    if (node >= store.size() || static_cast<std::int64_t>(path.size()) >= store.size()) {
      throw std::runtime_error(kParentCycleMessage);
    }
    path.push_back(node);
  }
  std::reverse(path.begin(), path.end());
  return path;
}

std::int32_t inferMove(const TorchNodeStore& store, const TorchEnv& environment, std::int64_t from, std::int64_t to) {
  const at::Tensor states = store.states();
  const at::Tensor children = environment.expand(states[from].view({1, -1})).first.to(states.scalar_type());
  const at::Tensor matches = children.eq(states[to].view({1, 1, -1})).all(-1).view({-1});
  const at::Tensor positions = matches.nonzero();
  if (positions.size(0) == 0) throw std::runtime_error(kTorchInferMoveMessage);
  return static_cast<std::int32_t>(positions[0][0].item<std::int64_t>());
}

}  // namespace

std::vector<std::int32_t> reconstructMoves(const TorchNodeStore& store, const TorchEnv& environment,
                                           std::int64_t goal_node, MoveSource source) {
  const std::vector<std::int64_t> path = pathTo(store, goal_node);
  std::vector<std::int32_t> moves;
  if (path.size() < 2) return moves;
  moves.reserve(path.size() - 1);
  if (source == MoveSource::Stored) {
    const at::Tensor ids = at::tensor(std::vector<std::int64_t>(path.begin() + 1, path.end()), at::kLong);
    const at::Tensor stored =
        store.parentMove().index_select(0, ids.to(store.parentMove().device())).to(at::kCPU, at::kLong);
    const std::int64_t* move = stored.data_ptr<std::int64_t>();
    moves.assign(move, move + stored.numel());
    return moves;
  }
  for (std::size_t i = 1; i < path.size(); ++i) moves.push_back(inferMove(store, environment, path[i - 1], path[i]));
  return moves;
}

}  // namespace kestrel
