#pragma once

// The per-operation timing totals a solve returns with operation_breakdown,
// derived from the phase seconds of the start node and of each iteration.
// Both solvers account the same way:
//   core_seconds: time in the operation's own work (the pop itself, the
//                 expansion, the goal tests, the CLOSED filter, inference, the
//                 pushes);
//   misc_seconds: time the operation spends around that work (goal tests of
//                 popped nodes, gathering and laying out rows, network
//                 inputs and costs, storing nodes);
//   total_seconds = core_seconds + misc_seconds.

#include "kestrel/solve/operation_timing.h"
#include "kestrel/solve/phase.h"

namespace kestrel {

// What an iteration did, beside its phase seconds; decides which call counts
// grow.
struct IterationShape {
  bool expanded = false;            // it popped a node to expand
  bool tested_children = false;     // it goal-tested at least one child
  bool evaluated_children = false;  // it called the network
};

class OperationTotals {
 public:
  explicit OperationTotals(bool enabled) : enabled_(enabled) {}

  void startNode(const PhaseSeconds& seconds);
  void iteration(const PhaseSeconds& seconds, const IterationShape& shape);

  const OperationTimings& timings() const { return timings_; }

 private:
  void add(Operation op, double core, double misc, bool counted);

  bool enabled_;
  OperationTimings timings_{};
};

}  // namespace kestrel
