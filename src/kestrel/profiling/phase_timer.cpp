#include "kestrel/profiling/phase_timer.h"

#include <algorithm>

namespace kestrel {

PhaseTimer::PhaseTimer(const std::string& prefix, Switches switches, std::function<void()> synchronize_device,
                       Profiler& profiler, std::initializer_list<Phase> untraced)
    : enabled_(switches.timing),
      synchronize_(switches.synchronize_phases && synchronize_device),
      synchronize_device_(std::move(synchronize_device)),
      profiler_(profiler),
      total_name_(prefix + ".total") {
  for (std::size_t i = 0; i < kPhaseCount; ++i) {
    const bool traced = std::find(untraced.begin(), untraced.end(), static_cast<Phase>(i)) == untraced.end();
    if (traced) event_names_[i] = prefix + "." + kPhaseNames[i];
  }
}

void PhaseTimer::end(Phase phase, TimePoint start, bool synchronize) {
  if (synchronize) synchronize_device_();
  const TimePoint end = now();
  const std::string& name = event_names_[static_cast<std::size_t>(phase)];
  if (!name.empty()) profiler_.record(name.c_str(), start, end);
  seconds_[phase] += static_cast<double>((end - start).count()) / 1e9;
}

void PhaseTimer::finishProfile(TimePoint start, TimePoint end) {
  profiler_.record(total_name_.c_str(), start, end);
  profiler_.finalize();
}

}  // namespace kestrel
