#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrel {

// Timing totals of one solver operation over a whole solve. core_seconds is
// the operation's own work (the network call, for the heuristic);
// misc_seconds the work around it (gathering rows, network inputs, costs,
// storing nodes); total_seconds their sum. OperationTotals says which phase
// goes where.
struct OperationTiming {
  double total_seconds = 0.0;
  double core_seconds = 0.0;
  double misc_seconds = 0.0;
  std::uint64_t call_count = 0;
};

// The seven operations every solver reports, in result order.
enum class Operation : std::size_t { Pop, IsSolved, Expand, Check, Heuristic, Push, Iteration };
inline constexpr std::size_t kOperationCount = 7;
inline constexpr std::array<const char*, kOperationCount> kOperationNames = {
    "pop", "is_solved", "expand", "check", "heuristic", "push", "iteration"};

using OperationTimings = std::array<OperationTiming, kOperationCount>;

inline OperationTiming& timingOf(OperationTimings& timings, Operation op) {
  return timings[static_cast<std::size_t>(op)];
}

}  // namespace kestrel
