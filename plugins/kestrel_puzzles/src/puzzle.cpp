#include "puzzle.h"

#include <stdexcept>
#include <string>

namespace kestrel_puzzles {

namespace {

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (asciiLower(a[i]) != asciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace

const PuzzleInfo* findPuzzle(std::string_view name) {
  for (const PuzzleInfo& puzzle : kPuzzles) {
    if (equalsIgnoringAsciiCase(name, puzzle.name)) return &puzzle;
  }
  return nullptr;
}

const PuzzleInfo& requirePuzzle(std::string_view name) {
  if (const PuzzleInfo* puzzle = findPuzzle(name)) return *puzzle;
  throw std::invalid_argument("Unknown puzzle '" + std::string(name) +
                              "'; kestrel_puzzles provides puzzle8, puzzle15 and puzzle24");
}

std::vector<std::uint8_t> goalState(const PuzzleInfo& puzzle) {
  std::vector<std::uint8_t> goal(puzzle.cells());
  for (int pos = 0; pos < puzzle.cells(); ++pos) goal[pos] = static_cast<std::uint8_t>(goalTile(puzzle.side, pos));
  return goal;
}

void validateState(const PuzzleInfo& puzzle, const std::uint8_t* tiles, std::size_t size) {
  const auto cells = static_cast<std::size_t>(puzzle.cells());
  const std::string range = "0.." + std::to_string(cells - 1);
  if (size != cells) {
    throw std::invalid_argument(std::string(puzzle.name) + " state must hold " + std::to_string(cells) +
                                " tiles, got " + std::to_string(size));
  }
  std::array<bool, 256> seen{};
  for (std::size_t pos = 0; pos < size; ++pos) {
    const int tile = tiles[pos];
    if (static_cast<std::size_t>(tile) >= cells) {
      throw std::invalid_argument(std::string(puzzle.name) + " state holds tile " + std::to_string(tile) +
                                  " at position " + std::to_string(pos) + ", outside " + range);
    }
    if (seen[tile]) {
      throw std::invalid_argument(std::string(puzzle.name) + " state holds tile " + std::to_string(tile) +
                                  " twice; a state must be a permutation of " + range);
    }
    seen[tile] = true;
  }
}

}  // namespace kestrel_puzzles
