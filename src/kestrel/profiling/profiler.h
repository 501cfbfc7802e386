#pragma once

// Collects timed regions of one solve and writes them as a Chrome trace
// (run_id + "_trace.json") and a fixed-width summary (run_id + "_summary.txt").
// Used only by the solve's coordinating thread.

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "kestrel/export.h"
#include "kestrel/solve/clock.h"
#include "kestrel/solve/profiling_options.h"

namespace kestrel {

// Checks a run id that will prefix artifact file names: no "/" (which also
// rules out absolute paths), no "..", no NUL byte. Throws std::invalid_argument.
KESTREL_EXPORT void requireSafeRunId(const std::string& run_id);

struct TraceEvent {
  std::string name;
  double ts_us = 0.0;  // from the profiler's construction to the region start
  double dur_us = 0.0;
};

struct PhaseStats {
  double total_us = 0.0;
  double max_us = 0.0;
  std::uint64_t count = 0;
};

class KESTREL_EXPORT Profiler {
 public:
  // When enabled: refuses (std::invalid_argument) a run id that could name a
  // file outside the directory, and creates the directory at once, so that a
  // directory that cannot exist fails the solve before it starts
  // (std::filesystem::filesystem_error) rather than after it ends.
  explicit Profiler(const ProfilingOptions& options);

  bool enabled() const { return enabled_; }
  const ProfilingOptions& options() const { return options_; }
  TimePoint start_time() const { return start_; }  // origin of trace timestamps
  const std::vector<TraceEvent>& events() const { return events_; }
  const std::unordered_map<std::string, PhaseStats>& phases() const { return phases_; }

  void record(const char* name, TimePoint start, TimePoint end) {
    if (enabled_) record_impl(name, start, end);
  }
  void record_impl(const char* name, TimePoint start, TimePoint end);

  // Creates the directory (again, should it have gone meanwhile) and writes
  // the requested artifacts. A directory that cannot be created throws
  // std::filesystem::filesystem_error; a file that cannot be opened is skipped
  // with one warning line on standard error.
  void finalize() {
    if (enabled_) finalize_impl();
  }
  void finalize_impl();

  void write_trace() const;
  void write_summary() const;

 private:
  ProfilingOptions options_;
  bool enabled_ = false;
  TimePoint start_{};
  std::vector<TraceEvent> events_;
  std::unordered_map<std::string, PhaseStats> phases_;
};

}  // namespace kestrel
