#include "kestrel/profiling/profiler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <locale>
#include <stdexcept>

#include "kestrel/solve/console.h"

namespace kestrel {
namespace {

double microseconds(std::chrono::nanoseconds span) { return static_cast<double>(span.count()) / 1000.0; }

// Opens an artifact for writing; the classic locale keeps numbers free of
// digit grouping whatever the embedding process set globally. A file that
// cannot be opened is reported, and the caller skips it.
std::ofstream openArtifact(const std::filesystem::path& path) {
  std::ofstream out(path, std::ios::out | std::ios::trunc);
  out.imbue(std::locale::classic());
  if (!out) pythonWarnf("[WARN] Unable to write profiling artifact %s\n", path.c_str());
  return out;
}

}  // namespace

void requireSafeRunId(const std::string& run_id) {
  const auto refuse = [&](const char* why) {
    throw std::invalid_argument("profile_run_id '" + run_id + "' " + why +
                                "; it prefixes the artifact file names inside profile_dir");
  };
  if (run_id.find('\0') != std::string::npos) refuse("contains a NUL byte");
  if (run_id.find('/') != std::string::npos) refuse("must not contain '/'");
  if (run_id.find("..") != std::string::npos) refuse("must not contain '..'");
}

Profiler::Profiler(const ProfilingOptions& options) : options_(options), enabled_(options.enabled) {
  if (enabled_) {
    if (options_.directory.empty()) options_.directory = "profile";
    if (options_.trace || options_.summary) {
      requireSafeRunId(options_.run_id);
      std::filesystem::create_directories(options_.directory);
    }
    start_ = now();
  }
}

void Profiler::record_impl(const char* name, TimePoint start, TimePoint end) {
  const double dur_us = microseconds(end - start);
  events_.push_back(TraceEvent{name, microseconds(start - start_), dur_us});
  PhaseStats& stats = phases_[name];
  stats.total_us += dur_us;
  stats.max_us = std::max(stats.max_us, dur_us);
  ++stats.count;
}

void Profiler::finalize_impl() {
  if (!options_.trace && !options_.summary) return;
  std::filesystem::create_directories(options_.directory);
  if (options_.trace) write_trace();
  if (options_.summary) write_summary();
}

void Profiler::write_trace() const {
  std::ofstream out = openArtifact(std::filesystem::path(options_.directory) / (options_.run_id + "_trace.json"));
  if (!out) return;
  out << "{\"traceEvents\":[";
  bool first = true;
  for (const TraceEvent& event : events_) {
    if (!first) out << ',';
    first = false;
    out << "{\"name\":\"" << event.name << "\",\"ph\":\"X\",\"ts\":" << event.ts_us << ",\"dur\":" << event.dur_us
        << ",\"pid\":0,\"tid\":0}";
  }
  out << "],\"displayTimeUnit\":\"ms\"}";
}

void Profiler::write_summary() const {
  std::ofstream out = openArtifact(std::filesystem::path(options_.directory) / (options_.run_id + "_summary.txt"));
  if (!out) return;
  out << "Phase                       Count    Avg ms    Max ms    Total ms\n" << std::string(65, '-') << '\n';
  out << std::fixed << std::setprecision(3);
  for (const auto& [name, stats] : phases_) {
    const double average_ms = stats.count == 0 ? 0.0 : stats.total_us / 1000.0 / static_cast<double>(stats.count);
    out << std::left << std::setw(26) << name.substr(0, 26) << std::right << ' ' << std::setw(7) << stats.count << ' '
        << std::setw(9) << average_ms << ' ' << std::setw(9) << stats.max_us / 1000.0 << ' ' << std::setw(10)
        << stats.total_us / 1000.0 << '\n';
  }
}

}  // namespace kestrel
