#pragma once

// Ends the timed regions of a solver loop: optional device synchronisation,
// profiler record, seconds. While timing is off nothing is read or recorded.

#include <functional>

#include "kestrel/profiling/profiler.h"

namespace kestrel {

class PhaseClock {
 public:
  PhaseClock(const bool& timing_enabled, const bool& operation_breakdown, const bool& cuda_sync_timing,
             std::function<void()> synchronize_device, Profiler& profiler)
      : timing_enabled_(timing_enabled),
        operation_breakdown_(operation_breakdown),
        cuda_sync_timing_(cuda_sync_timing),
        synchronize_device_(std::move(synchronize_device)),
        profiler_(profiler) {}

  // A region's start: the current time while timing, else the epoch.
  TimePoint start() const { return timing_enabled_ ? now() : TimePoint{}; }

  // Region length in seconds; 0 while timing is off. Synchronises the device
  // first only when both operation_breakdown and cuda_sync_timing are set.
  double stop(const char* name, TimePoint start) const {
    if (!timing_enabled_) return 0.0;
    if (operation_breakdown_ && cuda_sync_timing_ && synchronize_device_) synchronize_device_();
    const TimePoint end = now();
    if (profiler_.enabled()) profiler_.record_impl(name, start, end);
    return static_cast<double>((end - start).count()) / 1e9;
  }

 private:
  const bool& timing_enabled_;
  const bool& operation_breakdown_;
  const bool& cuda_sync_timing_;
  std::function<void()> synchronize_device_;
  Profiler& profiler_;
};

}  // namespace kestrel
