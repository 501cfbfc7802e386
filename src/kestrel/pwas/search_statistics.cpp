#include "kestrel/pwas/search_statistics.h"

#include <algorithm>
#include <string>

#include "kestrel/solve/console.h"
#include "kestrel/solve/iteration_report.h"

namespace kestrel {

void SearchStatistics::addCore(Operation op, double seconds) {
  OperationTiming& timing = at(op);
  timing.total_seconds += seconds;
  timing.core_seconds += seconds;
}

void SearchStatistics::addMisc(Operation op, double seconds) {
  OperationTiming& timing = at(op);
  timing.total_seconds += seconds;
  timing.misc_seconds += seconds;
}

void SearchStatistics::startNode(double is_solved_seconds, double infer_seconds, double heuristic_span_seconds) {
  if (!enabled_) return;
  addCore(Operation::IsSolved, is_solved_seconds);
  at(Operation::IsSolved).call_count = 1;
  addCore(Operation::Heuristic, infer_seconds);
  addMisc(Operation::Heuristic, std::max(heuristic_span_seconds - infer_seconds, 0.0));
  at(Operation::Heuristic).call_count = 1;
}

void SearchStatistics::pop(double span_seconds, double goal_test_seconds) {
  if (!enabled_) return;
  addCore(Operation::Pop, std::max(span_seconds - goal_test_seconds, 0.0));
  addMisc(Operation::Pop, goal_test_seconds);
  at(Operation::Pop).call_count += 1;
}

void SearchStatistics::iteration(double seconds) {
  if (!enabled_) return;
  addCore(Operation::Iteration, seconds);
  at(Operation::Iteration).call_count += 1;
}

void SearchStatistics::expand(double expand_seconds) {
  if (!enabled_) return;
  addCore(Operation::Expand, expand_seconds);
  at(Operation::Expand).call_count += 1;
}

void SearchStatistics::buildSuccessors(double seconds) {
  if (enabled_) addMisc(Operation::Expand, seconds);
}

void SearchStatistics::successorGoalTests(double seconds, std::size_t successors) {
  if (!enabled_) return;
  addCore(Operation::IsSolved, seconds);
  if (successors > 0) at(Operation::IsSolved).call_count += 1;
}

void SearchStatistics::check(double seconds) {
  if (!enabled_) return;
  addCore(Operation::Check, seconds);
  at(Operation::Check).call_count += 1;
}

void SearchStatistics::heuristic(double infer_seconds, double heuristic_span_seconds, std::size_t accepted) {
  if (!enabled_) return;
  addCore(Operation::Heuristic, infer_seconds);
  addMisc(Operation::Heuristic, std::max(heuristic_span_seconds - infer_seconds, 0.0));
  if (accepted > 0) at(Operation::Heuristic).call_count += 1;
}

void SearchStatistics::cost(double seconds) {
  if (enabled_) addMisc(Operation::Heuristic, seconds);
}

void SearchStatistics::push(double seconds) {
  if (!enabled_) return;
  addCore(Operation::Push, seconds);
  at(Operation::Push).call_count += 1;
}

void printIterationReport(const IterationReport& report) {
  const std::vector<float>& h = *report.heuristics;
  if (!h.empty()) {
    const auto [min_it, max_it] = std::minmax_element(h.begin(), h.end());
    const std::vector<std::int32_t>& depths = *report.depths;
    printAddedToOpen(report.iteration, static_cast<double>(*min_it), static_cast<double>(depths[min_it - h.begin()]),
                     static_cast<double>(*max_it), static_cast<double>(depths[max_it - h.begin()]));
  }
  printIterationTimes(report.times);
}

void printOpenExhausted() { pythonPrintLine("Open set exhausted without finding a solution."); }

void printFinalReport(SearchOutcome outcome, const std::vector<std::int32_t>& moves, std::uint64_t nodes_generated,
                      double solve_time) {
  if (outcome == SearchOutcome::Solved) {
    pythonPrintLine("SOLVED!");
    pythonPrintLine("Move nums:");
    std::string line;
    for (const std::int32_t move : moves) line += std::to_string(move) + " ";
    pythonPrintf("%s\n", line.c_str());
  } else {
    pythonPrintLine("Search terminated without discovering a solution.");
  }
  pythonPrintf("Nodes Generated:\n%llu\n", static_cast<unsigned long long>(nodes_generated));
  pythonPrintf("Total time:\n%f\n", solve_time);
}

}  // namespace kestrel
