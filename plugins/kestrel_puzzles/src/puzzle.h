#pragma once

// Sliding-tile puzzles on a side x side board. A state is side*side bytes in
// row-major order holding the tiles 0..side*side-1, 0 being the blank; the goal
// is 1, 2, ..., side*side-1, 0. Moves name the direction the blank travels.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

class Environment;
class TorchEnv;
namespace c10 {
struct Device;
}

namespace kestrel_puzzles {

inline constexpr int kNumMoves = 4;
enum Move : int { kUp = 0, kDown = 1, kLeft = 2, kRight = 3 };

// Where the blank at `pos` lands after `move`; `pos` itself when the move would
// leave the board, so that such a move reproduces the state.
constexpr int moveTarget(int side, int pos, int move) {
  const int row = pos / side;
  const int col = pos % side;
  switch (move) {
    case kUp:
      return row > 0 ? pos - side : pos;
    case kDown:
      return row < side - 1 ? pos + side : pos;
    case kLeft:
      return col > 0 ? pos - 1 : pos;
    case kRight:
      return col < side - 1 ? pos + 1 : pos;
    default:
      return pos;
  }
}

// The tile that belongs at `pos` in the goal state.
constexpr int goalTile(int side, int pos) { return pos == side * side - 1 ? 0 : pos + 1; }

struct PuzzleInfo {
  const char* name;
  int side;
  constexpr int cells() const { return side * side; }
};

inline constexpr std::array<PuzzleInfo, 3> kPuzzles{{{"puzzle8", 3}, {"puzzle15", 4}, {"puzzle24", 5}}};

// ASCII letters compare case-insensitively, as in the solver's registry.
// Returns null for an unknown name.
const PuzzleInfo* findPuzzle(std::string_view name);
// Like findPuzzle, but an unknown name throws std::invalid_argument.
const PuzzleInfo& requirePuzzle(std::string_view name);

std::vector<std::uint8_t> goalState(const PuzzleInfo& puzzle);

// Throws std::invalid_argument unless `tiles` is a permutation of 0..cells-1.
void validateState(const PuzzleInfo& puzzle, const std::uint8_t* tiles, std::size_t size);

// The factories registered with the solver, one per board size (the registrar
// takes plain function pointers). They throw std::invalid_argument on a state
// or state width that does not fit the puzzle.
using CpuFactory = std::unique_ptr<Environment> (*)(const std::vector<std::uint8_t>& state);
using TorchFactory = std::unique_ptr<TorchEnv> (*)(const c10::Device& device, std::int32_t state_dim);
CpuFactory cpuFactory(const PuzzleInfo& puzzle);
TorchFactory torchFactory(const PuzzleInfo& puzzle);

}  // namespace kestrel_puzzles
