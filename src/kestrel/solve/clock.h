#pragma once

// The one clock of a solve: monotonic, so that every duration of a solve,
// its solve_time and its trace, are measured alike.

#include <chrono>

namespace kestrel {

using Clock = std::chrono::steady_clock;
using TimePoint = std::chrono::time_point<Clock, std::chrono::nanoseconds>;

inline TimePoint now() { return std::chrono::time_point_cast<std::chrono::nanoseconds>(Clock::now()); }

}  // namespace kestrel
