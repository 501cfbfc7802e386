// CPU environments. Every generated node of the CPU solver is one object made
// here, so the class stays small and is one allocation: the tiles inline plus
// the cached blank position, with the move table fixed at compile time per
// board size.

#include <kestrel/env/environment.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "puzzle.h"

namespace kestrel_puzzles {

namespace {

template <int Side>
class SlidingPuzzle final : public Environment {
 public:
  static constexpr int kCells = Side * Side;

  SlidingPuzzle(const std::vector<std::uint8_t>& tiles, std::uint8_t blank) : blank_(blank) {
    std::copy_n(tiles.begin(), kCells, tiles_.begin());
  }

  std::unique_ptr<Environment> apply_move(int move) const override {
    if (move < 0 || move >= kNumMoves) {
      throw std::invalid_argument("sliding puzzle move must be 0..3, got " + std::to_string(move));
    }
    return successor(move);
  }

  std::vector<std::unique_ptr<Environment>> expand() const override {
    std::vector<std::unique_ptr<Environment>> children;
    children.reserve(kNumMoves);
    for (int move = 0; move < kNumMoves; ++move) children.push_back(successor(move));
    return children;
  }

  // The solver reads state() on its solving thread and copies the bytes at
  // once, so one buffer per thread serves every object and no node pays for
  // a vector of its own.
  const std::vector<std::uint8_t>& state() const override {
    thread_local std::vector<std::uint8_t> bytes;
    bytes.assign(tiles_.begin(), tiles_.end());
    return bytes;
  }

  bool is_solved() const override {
    return blank_ == kCells - 1 && std::memcmp(tiles_.data(), kGoal.data(), kCells) == 0;
  }

  int num_moves() const override { return kNumMoves; }

  std::size_t input_size() const override { return std::size_t{kCells} * kCells; }

  // One-hot: element pos * cells + tile is 1 where `pos` holds `tile`.
  void write_inputs(float* out) const override {
    std::fill_n(out, kCells * kCells, 0.0f);
    for (int pos = 0; pos < kCells; ++pos) out[pos * kCells + tiles_[pos]] = 1.0f;
  }

 private:
  static constexpr auto kTargets = [] {
    std::array<std::array<std::uint8_t, kNumMoves>, kCells> targets{};
    for (int pos = 0; pos < kCells; ++pos) {
      for (int move = 0; move < kNumMoves; ++move) {
        targets[pos][move] = static_cast<std::uint8_t>(moveTarget(Side, pos, move));
      }
    }
    return targets;
  }();

  static constexpr auto kGoal = [] {
    std::array<std::uint8_t, kCells> goal{};
    for (int pos = 0; pos < kCells; ++pos) goal[pos] = static_cast<std::uint8_t>(goalTile(Side, pos));
    return goal;
  }();

  std::unique_ptr<SlidingPuzzle> successor(int move) const {
    auto child = std::make_unique<SlidingPuzzle>(*this);
    const std::uint8_t target = kTargets[blank_][move];
    if (target != blank_) {
      child->tiles_[blank_] = tiles_[target];
      child->tiles_[target] = 0;
      child->blank_ = target;
    }
    return child;
  }

  std::array<std::uint8_t, kCells> tiles_;
  std::uint8_t blank_;
};

template <int Side>
std::unique_ptr<Environment> makeSlidingPuzzle(const std::vector<std::uint8_t>& state) {
  const PuzzleInfo& puzzle = kPuzzles[Side - 3];
  validateState(puzzle, state.data(), state.size());
  const auto blank = static_cast<std::uint8_t>(std::find(state.begin(), state.end(), 0) - state.begin());
  return std::make_unique<SlidingPuzzle<Side>>(state, blank);
}

static_assert(kPuzzles[0].side == 3 && kPuzzles[1].side == 4 && kPuzzles[2].side == 5,
              "makeSlidingPuzzle indexes kPuzzles by side");

}  // namespace

CpuFactory cpuFactory(const PuzzleInfo& puzzle) {
  switch (puzzle.side) {
    case 3:
      return &makeSlidingPuzzle<3>;
    case 4:
      return &makeSlidingPuzzle<4>;
    case 5:
      return &makeSlidingPuzzle<5>;
    default:
      throw std::invalid_argument("no CPU environment for a side of " + std::to_string(puzzle.side));
  }
}

}  // namespace kestrel_puzzles
