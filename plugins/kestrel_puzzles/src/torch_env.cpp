// Tensor environments: the same puzzles as cpu_env.cpp, as batched tensor
// operations on whichever device the solver chose.

#include <ATen/ATen.h>
#include <kestrel/env/torch_env.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <tuple>

#include "puzzle.h"

namespace kestrel_puzzles {

namespace {

class SlidingPuzzleTorchEnv final : public TorchEnv {
 public:
  SlidingPuzzleTorchEnv(const PuzzleInfo& puzzle, const c10::Device& device) : puzzle_(puzzle), device_(device) {
    const int cells = puzzle.cells();
    num_moves = kNumMoves;
    state_width = cells;

    // permutations_[pos] holds, for each move from a blank at `pos`, the
    // source position of every cell of the child: expansion is one gather.
    auto permutations = at::empty({cells, kNumMoves * cells}, at::kLong);
    auto perm = permutations.accessor<std::int64_t, 2>();
    for (int pos = 0; pos < cells; ++pos) {
      for (int move = 0; move < kNumMoves; ++move) {
        const int target = moveTarget(puzzle.side, pos, move);
        for (int cell = 0; cell < cells; ++cell) {
          perm[pos][move * cells + cell] = cell == pos ? target : cell == target ? pos : cell;
        }
      }
    }
    const auto goal = goalState(puzzle);
    permutations_ = permutations.to(device_);
    goal_ = at::from_blob(const_cast<std::uint8_t*>(goal.data()), {cells}, at::kByte).clone().to(device_);
    if (cells % 8 == 0) goal_words_ = goal_.view(at::kLong);
  }

  at::Tensor encodeState(const std::vector<std::uint8_t>& state) const override {
    validateState(puzzle_, state.data(), state.size());
    auto bytes = at::empty({static_cast<std::int64_t>(state.size())}, at::kByte);
    std::memcpy(bytes.data_ptr<std::uint8_t>(), state.data(), state.size());
    return bytes.to(device_, state_dtype);
  }

  at::Tensor decodeStates(const at::Tensor& states) const override { return states.to(at::kByte); }

  // Byte rows that fill whole 64-bit words (puzzle15's 16 tiles) compare a
  // word at a time: a fraction of the work of comparing every tile.
  at::Tensor isSolved(const at::Tensor& states) const override {
    if (goal_words_.defined() && states.scalar_type() == at::kByte && states.is_contiguous() &&
        states.storage_offset() % 8 == 0) {
      return states.view(at::kLong).eq(goal_words_).all(1);
    }
    return states.eq(goal_).all(1);
  }

  std::pair<at::Tensor, at::Tensor> expand(const at::Tensor& states) const override {
    const std::int64_t batch = states.size(0);
    // The first (the only) blank of each row.
    const at::Tensor blank = std::get<1>(states.eq(0).max(1));
    const at::Tensor sources = permutations_.index_select(0, blank);
    at::Tensor children = states.gather(1, sources).view({batch, num_moves, state_width});
    at::Tensor costs = at::ones({batch, num_moves}, states.options().dtype(at::kFloat));
    return {std::move(children), std::move(costs)};
  }

  // One-hot, laid out as in the CPU environment: element pos * cells + tile.
  // On an accelerator each cell is compared with every tile value, in the
  // states' own type, the comparison written straight as floats: one launch.
  // On the host, where a comparison into floats goes through a temporary,
  // each cell's row is gathered from the identity matrix instead, in a
  // third of the time.
  std::vector<at::Tensor> networkInputs(const at::Tensor& states) const override {
    const std::int64_t batch = states.size(0);
    at::Tensor inputs = at::empty({batch, state_width, state_width}, states.options().dtype(at::kFloat));
    if (states.device().is_cpu()) {
      if (!identity_.defined()) identity_ = at::eye(state_width, inputs.options());
      at::Tensor cell_rows = inputs.view({batch * state_width, state_width});
      at::index_select_out(cell_rows, identity_, 0, states.reshape({-1}).to(at::kInt));
    } else {
      if (!tile_values_.defined() || tile_values_.scalar_type() != states.scalar_type() ||
          tile_values_.device() != states.device()) {
        tile_values_ = at::arange(state_width, states.options());
      }
      at::eq_out(inputs, states.unsqueeze(2), tile_values_);
    }
    return {inputs.view({batch, state_width * state_width})};
  }

 private:
  const PuzzleInfo& puzzle_;
  c10::Device device_;
  at::Tensor permutations_;  // (cells, moves * cells) int64
  at::Tensor goal_;          // (cells) uint8
  at::Tensor goal_words_;    // the goal as int64 words; undefined unless cells fill whole words
  // (cells) 0 .. cells - 1 in the type of the states last encoded for the
  // network on an accelerator, and the (cells, cells) float identity for
  // CPU states; made on first use, from the solve's one thread.
  mutable at::Tensor tile_values_;
  mutable at::Tensor identity_;
};

template <int Side>
std::unique_ptr<TorchEnv> makeSlidingPuzzleTorchEnv(const c10::Device& device, std::int32_t state_dim) {
  const PuzzleInfo& puzzle = kPuzzles[Side - 3];
  if (state_dim != puzzle.cells()) {
    throw std::invalid_argument(std::string(puzzle.name) + " states hold " + std::to_string(puzzle.cells()) +
                                " tiles, got a state width of " + std::to_string(state_dim));
  }
  return std::make_unique<SlidingPuzzleTorchEnv>(puzzle, device);
}

}  // namespace

TorchFactory torchFactory(const PuzzleInfo& puzzle) {
  switch (puzzle.side) {
    case 3:
      return &makeSlidingPuzzleTorchEnv<3>;
    case 4:
      return &makeSlidingPuzzleTorchEnv<4>;
    case 5:
      return &makeSlidingPuzzleTorchEnv<5>;
    default:
      throw std::invalid_argument("no tensor environment for a side of " + std::to_string(puzzle.side));
  }
}

}  // namespace kestrel_puzzles
