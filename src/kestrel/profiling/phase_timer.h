#pragma once

// Times the phases of a search on one steady clock. A phase is a scope:
//
//   auto phase = timer_.phase(Phase::Expand);
//
// measures until the scope ends. Its seconds go to the profiler, as an event
// named by the solver's prefix and the phase ("pwas.expand"), and to the
// current iteration's per-phase totals, from which the operation timings and
// the per-iteration console line are derived. While timing is off a phase
// reads no clock and records nothing.

#include <array>
#include <functional>
#include <initializer_list>
#include <string>

#include "kestrel/profiling/profiler.h"
#include "kestrel/solve/phase.h"

namespace kestrel {

class PhaseTimer {
 public:
  struct Switches {
    bool timing = false;              // phases are measured at all
    bool synchronize_phases = false;  // phases end after the device has finished

    // Timing is on for the console lines, the operation timings or the
    // profiler; phases wait for the device only when timings are collected
    // with cuda_sync_timing.
    static Switches of(bool print_internals, bool operation_breakdown, bool cuda_sync_timing, bool profiling) {
      return {print_internals || operation_breakdown || profiling, operation_breakdown && cuda_sync_timing};
    }
  };

  // `prefix` names the solver in profiler events ("pwas", "torchgpu");
  // phases in `untraced` are measured but not recorded as events.
  PhaseTimer(const std::string& prefix, Switches switches, std::function<void()> synchronize_device, Profiler& profiler,
             std::initializer_list<Phase> untraced = {});

  class [[nodiscard]] Scope {
   public:
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    ~Scope() {
      if (timer_ != nullptr) timer_->end(phase_, start_, synchronize_);
    }

   private:
    friend class PhaseTimer;
    Scope(PhaseTimer* timer, Phase phase, bool synchronize)
        : timer_(timer), phase_(phase), synchronize_(synchronize), start_(timer != nullptr ? now() : TimePoint{}) {}
    PhaseTimer* timer_;  // null while timing is off
    Phase phase_;
    bool synchronize_;
    TimePoint start_;
  };

  // A phase that may have queued device work: with synchronize_phases it
  // ends after the device has finished.
  Scope phase(Phase which) { return Scope(enabled_ ? this : nullptr, which, synchronize_); }
  // A phase of host work only: never waits for the device.
  Scope hostPhase(Phase which) { return Scope(enabled_ ? this : nullptr, which, false); }
  // Clears the per-phase totals and times the whole iteration.
  Scope iteration() {
    seconds_.clear();
    return phase(Phase::Iteration);
  }

  // Seconds per phase since the current iteration began, or the start
  // node's before the first iteration.
  const PhaseSeconds& seconds() const { return seconds_; }

  // Records "<prefix>.total" from `start` to `end` and writes the profiler's
  // artifacts.
  void finishProfile(TimePoint start, TimePoint end);

 private:
  void end(Phase phase, TimePoint start, bool synchronize);

  bool enabled_;
  bool synchronize_;
  std::function<void()> synchronize_device_;
  Profiler& profiler_;
  std::array<std::string, kPhaseCount> event_names_;  // empty: not traced
  std::string total_name_;
  PhaseSeconds seconds_;
};

}  // namespace kestrel
