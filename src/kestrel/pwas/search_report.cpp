#include "kestrel/pwas/search_report.h"

#include <algorithm>
#include <string>

#include "kestrel/solve/console.h"
#include "kestrel/solve/iteration_report.h"

namespace kestrel {

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
