#pragma once

// How both solvers turn a finished search into its result.

#include <cstdint>
#include <utility>
#include <vector>

#include "kestrel/solve/clock.h"
#include "kestrel/solve/operation_totals.h"
#include "kestrel/solve/solve_result.h"

namespace kestrel {

// What the search knows when it stops; the moves are reconstructed already.
struct SearchEnd {
  std::vector<std::int32_t> moves;
  bool solved = false;
  std::uint64_t nodes_generated = 0;
  bool budget_exceeded = false;
};

// The result, its solve_time running from `start` to `finished`, the moment
// the search ended (the caller also closes its profile there).
inline SolveResult searchResult(SearchEnd end, const OperationTotals& totals, bool operation_breakdown, TimePoint start,
                                TimePoint finished) {
  SolveResult result;
  result.moves = std::move(end.moves);
  result.solve_time = static_cast<double>((finished - start).count()) / 1e9;
  result.nodes_generated = end.nodes_generated;
  result.solved = end.solved;
  result.search_budget_exceeded = end.budget_exceeded;
  if (operation_breakdown) {
    result.operation_timings = totals.timings();
    result.has_operation_timings = true;
  }
  return result;
}

}  // namespace kestrel
