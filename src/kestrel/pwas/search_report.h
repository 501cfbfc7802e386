#pragma once

// What the CPU search prints about its own progress: the per-iteration
// console lines of print_internals and the final report of verbose.

#include <cstdint>
#include <vector>

#include "kestrel/solve/iteration_report.h"

namespace kestrel {

// The print_internals lines of one iteration that reached expansion.
struct IterationReport {
  std::uint64_t iteration = 0;
  const std::vector<float>* heuristics = nullptr;     // raw network outputs, one per accepted row
  const std::vector<std::int32_t>* depths = nullptr;  // depth of each accepted row's node
  IterationTimes times;                               // pop counts its core seconds, heuristic its inference seconds
};
void printIterationReport(const IterationReport& report);

enum class SearchOutcome { Solved, OpenExhausted, BudgetExceeded };
void printOpenExhausted();
void printFinalReport(SearchOutcome outcome, const std::vector<std::int32_t>& moves, std::uint64_t nodes_generated,
                      double solve_time);

}  // namespace kestrel
