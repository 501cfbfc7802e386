#pragma once

// The per-iteration console lines that both solvers print with
// print_internals, and the duration format they use.

#include <cstdint>
#include <string>

#include "kestrel/solve/phase.h"

namespace kestrel {

// "%.2e" for non-zero values below 0.005 in magnitude, so that short regions
// do not all print as 0.00, else "%.2f". At most 63 characters.
std::string formatSeconds(double seconds);

// "Itr: ..., Added to OPEN - Min/Max Heur(PathCost): ..." for an iteration
// that added nodes: the smallest and largest heuristic of the batch and the
// path costs of their nodes.
void printAddedToOpen(std::uint64_t iteration, double min_heuristic, double min_path_cost, double max_heuristic,
                      double max_path_cost);

// "Times - pop: ..., iteration: ..." and a blank line, in seconds.
struct IterationTimes {
  double pop = 0;
  double expand = 0;
  double is_solved = 0;
  double check = 0;
  double heuristic = 0;
  double push = 0;
  double iteration = 0;
};
// The line's figures from an iteration's phase seconds: the pop without the
// popped nodes' goal tests, which count with the children's.
IterationTimes iterationTimes(const PhaseSeconds& seconds);
void printIterationTimes(const IterationTimes& times);

}  // namespace kestrel
