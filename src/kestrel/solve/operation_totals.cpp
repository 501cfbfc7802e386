#include "kestrel/solve/operation_totals.h"

#include <algorithm>

namespace kestrel {

void OperationTotals::add(Operation op, double core, double misc, bool counted) {
  OperationTiming& timing = timingOf(timings_, op);
  timing.core_seconds += core;
  timing.misc_seconds += misc;
  timing.total_seconds += core + misc;
  if (counted) timing.call_count += 1;
}

void OperationTotals::startNode(const PhaseSeconds& s) {
  if (!enabled_) return;
  add(Operation::IsSolved, s[Phase::IsSolved], 0, true);
  const double infer = s[Phase::HeuristicInfer];
  add(Operation::Heuristic, infer, std::max(s[Phase::Heuristic] - infer, 0.0), true);
}

void OperationTotals::iteration(const PhaseSeconds& s, const IterationShape& shape) {
  if (!enabled_) return;
  const double goal_tests = s[Phase::PopGoalTest];
  add(Operation::Pop, std::max(s[Phase::PopFromOpen] - goal_tests, 0.0), goal_tests + s[Phase::PopMisc], true);
  if (shape.expanded) {
    add(Operation::Expand, s[Phase::Expand], s[Phase::ExpandMisc], true);
    add(Operation::IsSolved, s[Phase::IsSolved], 0, shape.tested_children);
    add(Operation::Check, s[Phase::ClosedFilter], s[Phase::CheckMisc], true);
    const double infer = s[Phase::HeuristicInfer];
    add(Operation::Heuristic, infer,
        std::max(s[Phase::Heuristic] - infer, 0.0) + s[Phase::Cost] + s[Phase::PersistChildren],
        shape.evaluated_children);
    add(Operation::Push, s[Phase::AddToOpen], 0, true);
  }
  add(Operation::Iteration, s[Phase::Iteration], 0, true);
}

}  // namespace kestrel
