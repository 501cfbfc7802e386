#include "kestrel/pwas/search_statistics.h"

#include <algorithm>
#include <string>

#include "kestrel/bindings/console.h"
#include "kestrel/profiling/format_seconds.h"

namespace kestrel {

void SearchStatistics::startNode(double is_solved_seconds, double infer_seconds, double heuristic_span_seconds) {
  if (!enabled_) return;
  OperationTiming& goal = at(Operation::IsSolved);
  goal.total_seconds = goal.core_seconds = is_solved_seconds;
  goal.call_count = 1;
  OperationTiming& heur = at(Operation::Heuristic);
  heur.core_seconds = infer_seconds;
  heur.misc_seconds = std::max(heuristic_span_seconds - infer_seconds, 0.0);
  heur.total_seconds = heur.core_seconds + heur.misc_seconds;
  heur.call_count = 1;
}

void SearchStatistics::pop(double span_seconds, double goal_test_seconds) {
  if (!enabled_) return;
  const double core = std::max(span_seconds - goal_test_seconds, 0.0);
  OperationTiming& op = at(Operation::Pop);
  op.total_seconds += core + goal_test_seconds;
  op.core_seconds += core;
  op.misc_seconds += goal_test_seconds;
  op.call_count += 1;
}

void SearchStatistics::iteration(double seconds) {
  if (!enabled_) return;
  OperationTiming& op = at(Operation::Iteration);
  op.total_seconds += seconds;
  op.core_seconds += seconds;
  op.call_count += 1;
}

void SearchStatistics::expand(double expand_seconds) {
  if (!enabled_) return;
  OperationTiming& op = at(Operation::Expand);
  op.total_seconds += expand_seconds;
  op.core_seconds += expand_seconds;
  op.call_count += 1;
}

void SearchStatistics::buildSuccessors(double seconds) {
  if (!enabled_) return;
  OperationTiming& op = at(Operation::Expand);
  op.total_seconds += seconds;
  op.misc_seconds += seconds;
}

void SearchStatistics::successorGoalTests(double seconds, std::size_t successors) {
  if (!enabled_) return;
  OperationTiming& op = at(Operation::IsSolved);
  op.total_seconds += seconds;
  op.core_seconds += seconds;
  if (successors > 0) op.call_count += 1;
}

void SearchStatistics::check(double seconds) {
  if (!enabled_) return;
  OperationTiming& op = at(Operation::Check);
  op.total_seconds += seconds;
  op.core_seconds += seconds;
  op.call_count += 1;
}

void SearchStatistics::heuristic(double infer_seconds, double heuristic_span_seconds, std::size_t accepted) {
  if (!enabled_) return;
  const double misc = std::max(heuristic_span_seconds - infer_seconds, 0.0);
  OperationTiming& op = at(Operation::Heuristic);
  if (accepted > 0) op.call_count += 1;
  op.core_seconds += infer_seconds;
  op.total_seconds += infer_seconds + misc;
  op.misc_seconds += misc;
}

void SearchStatistics::cost(double seconds) {
  if (!enabled_) return;
  OperationTiming& op = at(Operation::Heuristic);
  op.total_seconds += seconds;
  op.misc_seconds += seconds;
}

void SearchStatistics::push(double seconds) {
  if (!enabled_) return;
  OperationTiming& op = at(Operation::Push);
  op.total_seconds += seconds;
  op.core_seconds += seconds;
  op.call_count += 1;
}

void printIterationReport(const IterationReport& report) {
  const std::vector<float>& h = *report.heuristics;
  if (!h.empty()) {
    const auto [min_it, max_it] = std::minmax_element(h.begin(), h.end());
    const std::vector<std::int32_t>& depths = *report.depths;
    pythonPrintf("Itr: %zu, Added to OPEN - Min/Max Heur(PathCost): %.2f(%.2f)/%.2f(%.2f) \n",
                 static_cast<std::size_t>(report.iteration), static_cast<double>(*min_it),
                 static_cast<double>(depths[min_it - h.begin()]), static_cast<double>(*max_it),
                 static_cast<double>(depths[max_it - h.begin()]));
  }
  pythonPrintf("Times - pop: %s, expand: %s, is_solved: %s, check: %s, heuristic: %s, push: %s, iteration: %s\n\n",
               formatSeconds(report.pop_core_seconds).c_str(), formatSeconds(report.expand_seconds).c_str(),
               formatSeconds(report.is_solved_seconds).c_str(), formatSeconds(report.check_seconds).c_str(),
               formatSeconds(report.infer_seconds).c_str(), formatSeconds(report.push_seconds).c_str(),
               formatSeconds(report.iteration_seconds).c_str());
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
