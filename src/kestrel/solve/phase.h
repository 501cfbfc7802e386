#pragma once

// The phases of a search iteration, as both solvers time them, and the
// seconds spent in each.

#include <array>
#include <cstddef>

namespace kestrel {

enum class Phase : std::size_t {
  PopFromOpen,      // the pop step, the goal tests of popped nodes included
  PopGoalTest,      // the goal tests of the popped nodes
  PopMisc,          // gathering what the expansion needs of the popped nodes
  Expand,           // the environment's expansion
  ExpandMisc,       // laying the children out
  IsSolved,         // the goal test of the start node, or of an iteration's children
  ClosedFilter,     // the CLOSED lookups and inserts
  CheckMisc,        // selecting the accepted children
  Heuristic,        // from the network inputs to the end of inference
  WriteInputs,      // the network inputs
  HeuristicInfer,   // the network call
  Cost,             // the priorities of the accepted children
  PersistChildren,  // storing the accepted children as nodes
  AddToOpen,        // the pushes onto OPEN
  Iteration,        // a whole iteration
};
inline constexpr std::size_t kPhaseCount = 15;

// The name of each phase in profiler events, after the solver's prefix. A
// popped node's goal test is a goal test like any other.
inline constexpr std::array<const char*, kPhaseCount> kPhaseNames = {
    "pop_from_open",   "is_solved",     "pop_misc",         "expand",      "expand_misc",
    "is_solved",       "closed_filter", "check_misc",       "heuristic",   "write_inputs",
    "heuristic_infer", "cost",          "persist_children", "add_to_open", "iteration"};

// Seconds spent in each phase, indexed by Phase.
class PhaseSeconds {
 public:
  double operator[](Phase phase) const { return seconds_[static_cast<std::size_t>(phase)]; }
  double& operator[](Phase phase) { return seconds_[static_cast<std::size_t>(phase)]; }
  void clear() { seconds_.fill(0.0); }

 private:
  std::array<double, kPhaseCount> seconds_{};
};

}  // namespace kestrel
