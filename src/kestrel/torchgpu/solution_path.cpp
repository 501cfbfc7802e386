#include "kestrel/torchgpu/solution_path.h"

#include <ATen/ATen.h>

#include <algorithm>
#include <stdexcept>

namespace kestrel {
namespace {

// Parent links are followed on the device a chunk of steps at a time, with
// one read per chunk: a read per step would stall the device once per move.
constexpr std::int64_t kStepsPerRead = 64;

std::vector<std::int64_t> pathTo(const TorchNodeStore& store, std::int64_t goal_node) {
  const at::Tensor& parent = store.parentIndex();
  const std::int64_t size = store.size();
  std::vector<std::int64_t> path{goal_node};
  at::Tensor node = at::full({1}, goal_node, parent.options().dtype(at::kLong));
  for (;;) {
    // The host reads the links in order and stops at the first outside the
    // store (past the start node's -1 or beyond its size), so the walk may go
    // on from a clamped index there: two operations a step.
    std::vector<at::Tensor> steps;
    steps.reserve(kStepsPerRead);
    for (std::int64_t step = 0; step < kStepsPerRead; ++step) {
      node = parent.index_select(0, node.clamp(0, size - 1)).to(at::kLong);
      steps.push_back(node);
    }
    const at::Tensor read = at::cat(steps).to(at::kCPU, at::kLong);
    const std::int64_t* links = read.data_ptr<std::int64_t>();
    for (const std::int64_t* link = links; link != links + read.numel(); ++link) {
      if (*link < 0) {
        std::reverse(path.begin(), path.end());
        return path;
      }
      if (*link >= size || static_cast<std::int64_t>(path.size()) >= size)
        throw std::runtime_error(kParentCycleMessage);
      path.push_back(*link);
    }
  }
}

// Each step's move: every parent of the path expanded at once, the lowest
// move whose child equals the next state.
std::vector<std::int32_t> inferMoves(const TorchNodeStore& store, const TorchEnv& environment,
                                     const std::vector<std::int64_t>& path) {
  const at::Tensor states = store.states();
  const at::Tensor nodes = at::tensor(path, at::kLong).to(states.device());
  const std::int64_t steps = nodes.size(0) - 1;
  const at::Tensor parents = states.index_select(0, nodes.narrow(0, 0, steps));
  const at::Tensor next = states.index_select(0, nodes.narrow(0, 1, steps));
  const at::Tensor children =
      environment.expand(parents).first.to(states.scalar_type()).view({steps, environment.num_moves, -1});
  const at::Tensor matches = children.eq(next.unsqueeze(1)).all(-1);
  const auto [matched, lowest] = matches.max(1);  // the lowest matching move
  const at::Tensor moves = at::where(matched, lowest, -1).to(at::kCPU, at::kLong);
  const std::int64_t* move = moves.data_ptr<std::int64_t>();
  if (std::find(move, move + steps, -1) != move + steps) throw std::runtime_error(kTorchInferMoveMessage);
  return std::vector<std::int32_t>(move, move + steps);
}

}  // namespace

std::vector<std::int32_t> reconstructMoves(const TorchNodeStore& store, const TorchEnv& environment,
                                           std::int64_t goal_node, MoveSource source) {
  const std::vector<std::int64_t> path = pathTo(store, goal_node);
  if (path.size() < 2) return {};
  if (source == MoveSource::Stored) {
    const at::Tensor ids = at::tensor(std::vector<std::int64_t>(path.begin() + 1, path.end()), at::kLong);
    const at::Tensor stored =
        store.parentMove().index_select(0, ids.to(store.parentMove().device())).to(at::kCPU, at::kLong);
    const std::int64_t* move = stored.data_ptr<std::int64_t>();
    return std::vector<std::int32_t>(move, move + stored.numel());
  }
  return inferMoves(store, environment, path);
}

}  // namespace kestrel
