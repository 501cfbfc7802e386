#include "kestrel/solve/iteration_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "kestrel/solve/console.h"

namespace kestrel {

std::string formatSeconds(double seconds) {
  char buffer[64];
  const bool tiny = seconds != 0.0 && std::fabs(seconds) < 0.005;
  std::snprintf(buffer, sizeof buffer, tiny ? "%.2e" : "%.2f", seconds);
  return buffer;
}

void printAddedToOpen(std::uint64_t iteration, double min_heuristic, double min_path_cost, double max_heuristic,
                      double max_path_cost) {
  pythonPrintf("Itr: %zu, Added to OPEN - Min/Max Heur(PathCost): %.2f(%.2f)/%.2f(%.2f) \n",
               static_cast<std::size_t>(iteration), min_heuristic, min_path_cost, max_heuristic, max_path_cost);
}

IterationTimes iterationTimes(const PhaseSeconds& s) {
  IterationTimes times;
  times.pop = std::max(s[Phase::PopFromOpen] - s[Phase::PopGoalTest], 0.0);
  times.expand = s[Phase::Expand];
  times.is_solved = s[Phase::IsSolved] + s[Phase::PopGoalTest];
  times.check = s[Phase::ClosedFilter];
  times.heuristic = s[Phase::HeuristicInfer];
  times.push = s[Phase::AddToOpen];
  times.iteration = s[Phase::Iteration];
  return times;
}

void printIterationTimes(const IterationTimes& t) {
  pythonPrintf("Times - pop: %s, expand: %s, is_solved: %s, check: %s, heuristic: %s, push: %s, iteration: %s\n\n",
               formatSeconds(t.pop).c_str(), formatSeconds(t.expand).c_str(), formatSeconds(t.is_solved).c_str(),
               formatSeconds(t.check).c_str(), formatSeconds(t.heuristic).c_str(), formatSeconds(t.push).c_str(),
               formatSeconds(t.iteration).c_str());
}

}  // namespace kestrel
