// CPU environments. Every generated node of the CPU solver is one object made
// here, so the class stays small and is one allocation: the tiles inline plus
// the cached blank position, with the move table fixed at compile time per
// board size.

#include <kestrel/env/environment.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "puzzle.h"

namespace kestrel_puzzles {

namespace {

// Blocks of `Bytes` bytes that this thread freed, kept to be handed out again.
// Most generated nodes are dropped in the iteration that made them, and the
// next one makes as many: recycling spares the allocator that churn, and
// spares the solver the passes in which the allocator tidies up thousands of
// small freed blocks whenever a larger allocation comes through. A thread
// keeps at most kKept blocks; beyond that they go back to the allocator.
template <std::size_t Bytes>
class BlockRecycler {
 public:
  static void* take() {
    FreeList* list = local();
    if (list == nullptr || list->head == nullptr) return ::operator new(Bytes);
    Link* block = list->head;
    list->head = block->next;
    --list->count;
    return block;
  }

  static void give(void* block) {
    FreeList* list = local();
    if (list == nullptr || list->count >= kKept) {
      ::operator delete(block);
      return;
    }
    list->head = new (block) Link{list->head};
    ++list->count;
  }

 private:
  static constexpr std::size_t kKept = std::size_t{1} << 16;
  static_assert(Bytes >= sizeof(void*));

  struct Link {
    Link* next;
  };
  struct FreeList {
    Link* head = nullptr;
    std::size_t count = 0;
    ~FreeList() {
      while (head != nullptr) ::operator delete(std::exchange(head, head->next));
      closed() = true;
    }
  };
  // Set when the thread's list has been destroyed at thread exit: an object
  // dropped after that goes straight back to the allocator.
  static bool& closed() {
    thread_local bool flag = false;
    return flag;
  }
  static FreeList* local() {
    if (closed()) return nullptr;
    thread_local FreeList list;
    return &list;
  }
};

template <int Side>
class SlidingPuzzle final : public Environment {
 public:
  static constexpr int kCells = Side * Side;

  // The class is final, so every allocation of it has its exact size.
  static void* operator new(std::size_t) { return BlockRecycler<sizeof(SlidingPuzzle)>::take(); }
  static void operator delete(void* block) { BlockRecycler<sizeof(SlidingPuzzle)>::give(block); }

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
