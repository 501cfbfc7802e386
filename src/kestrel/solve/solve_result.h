#pragma once

#include <cstdint>
#include <vector>

#include "kestrel/solve/operation_timing.h"

namespace kestrel {

// The outcome of one solve, returned by both solvers.
struct SolveResult {
  std::vector<std::int32_t> moves;  // start to goal; empty when unsolved or the start is the goal
  double solve_time = 0.0;          // seconds from the search start, reconstruction included
  std::uint64_t nodes_generated = 0;
  bool solved = false;
  bool search_budget_exceeded = false;
  OperationTimings operation_timings{};
  bool has_operation_timings = false;  // equals operation_breakdown
};

}  // namespace kestrel
