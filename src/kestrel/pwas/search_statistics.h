#pragma once

// What the CPU search reports about its own progress: the per-operation
// timing totals returned with the result, the per-iteration console lines of
// print_internals and the final report of verbose. The search loop only hands
// over measured seconds; how they are accumulated and printed lives here.

#include <cstdint>
#include <vector>

#include "kestrel/solve/iteration_report.h"
#include "kestrel/solve/operation_timing.h"

namespace kestrel {

class SearchStatistics {
 public:
  explicit SearchStatistics(bool operation_breakdown) : enabled_(operation_breakdown) {}

  // Start node: its goal test and its heuristic (inference inside a span).
  void startNode(double is_solved_seconds, double infer_seconds, double heuristic_span_seconds);

  // Every iteration: the pop span S including the popped nodes' goal tests G.
  void pop(double span_seconds, double goal_test_seconds);
  void iteration(double seconds);

  // Iterations that reach expansion.
  void expand(double expand_seconds);
  void buildSuccessors(double seconds);
  void successorGoalTests(double seconds, std::size_t successors);
  void check(double seconds);
  void heuristic(double infer_seconds, double heuristic_span_seconds, std::size_t accepted);
  void cost(double seconds);
  void push(double seconds);

  const OperationTimings& timings() const { return timings_; }

 private:
  OperationTiming& at(Operation op) { return timingOf(timings_, op); }
  // Both keep total_seconds = core_seconds + misc_seconds.
  void addCore(Operation op, double seconds);
  void addMisc(Operation op, double seconds);

  bool enabled_;
  OperationTimings timings_{};
};

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
