#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kestrel/profiling/phase_clock.h"
#include "kestrel/profiling/profiler.h"
#include "kestrel/solve/iteration_report.h"
#include "support/captured_console.h"

namespace {

namespace fs = std::filesystem;
using kestrel::PhaseClock;
using kestrel::Profiler;
using kestrel::ProfilingOptions;
using kestrel::TimePoint;
using std::chrono::microseconds;

constexpr const char* kSummaryHeader =
    "Phase                       Count    Avg ms    Max ms    Total ms\n"
    "-----------------------------------------------------------------\n";

// Every test runs in a fresh temporary working directory, because the
// default artifact directory is relative to it.
class ProfilerFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = fs::current_path();
    std::string pattern = (fs::temp_directory_path() / "kestrel_profiler_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(previous_);
    fs::remove_all(dir_);
  }

  static ProfilingOptions options(std::string directory, std::string run_id, bool trace, bool summary) {
    return ProfilingOptions{trace || summary, std::move(directory), std::move(run_id), trace, summary};
  }

  static std::string read(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path previous_;
  fs::path dir_;
};

TEST_F(ProfilerFiles, DisabledProfilerRecordsAndWritesNothing) {
  ProfilingOptions disabled{false, "out/nested", "run", true, true};
  Profiler profiler(disabled);
  const TimePoint t = kestrel::now();
  profiler.record("pwas.expand", t, t + microseconds(5));
  profiler.finalize();
  EXPECT_TRUE(profiler.events().empty());
  EXPECT_TRUE(profiler.phases().empty());
  EXPECT_EQ(profiler.start_time(), TimePoint{});
  EXPECT_EQ(profiler.options().directory, "out/nested");
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(ProfilerFiles, NoArtifactRequestedCreatesNoDirectory) {
  // enabled without trace or summary cannot come from the Python layer, but
  // finalize must still write nothing.
  Profiler profiler(ProfilingOptions{true, "out", "run", false, false});
  profiler.record("pwas.expand", kestrel::now(), kestrel::now());
  profiler.finalize();
  EXPECT_EQ(profiler.events().size(), 1u);
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(ProfilerFiles, EmptyDirectoryDefaultsToProfileAndOnlyRequestedArtifactsAreWritten) {
  Profiler profiler(options("", "cpp_pwas", true, false));
  EXPECT_EQ(profiler.options().directory, "profile");
  profiler.finalize();
  EXPECT_EQ(read("profile/cpp_pwas_trace.json"), R"({"traceEvents":[],"displayTimeUnit":"ms"})");
  EXPECT_FALSE(fs::exists("profile/cpp_pwas_summary.txt"));
}

TEST_F(ProfilerFiles, NestedDirectoryIsCreatedForASummaryAlone) {
  Profiler profiler(options("out/a/b", "run7", false, true));
  profiler.finalize();
  EXPECT_EQ(read("out/a/b/run7_summary.txt"), kSummaryHeader);
  EXPECT_FALSE(fs::exists("out/a/b/run7_trace.json"));
}

TEST_F(ProfilerFiles, ExistingDirectoryIsReusedAndFilesAreTruncated) {
  fs::create_directories("prof");
  {
    std::ofstream("prof/r_trace.json") << std::string(500, 'x');
  }
  Profiler profiler(options("prof", "r", true, false));
  profiler.finalize();
  EXPECT_EQ(read("prof/r_trace.json"), R"({"traceEvents":[],"displayTimeUnit":"ms"})");
}

TEST_F(ProfilerFiles, TraceEventTextAndNumberFormatting) {
  Profiler profiler(options("p", "run", true, false));
  const TimePoint origin = profiler.start_time();
  const TimePoint begin = origin + std::chrono::milliseconds(1500);
  profiler.record("pwas.expand", begin, begin + microseconds(2500));
  EXPECT_EQ(profiler.events().front().ts_us, 1.5e6);
  profiler.finalize();
  EXPECT_EQ(read("p/run_trace.json"),
            R"({"traceEvents":[{"name":"pwas.expand","ph":"X","ts":1.5e+06,"dur":2500,"pid":0,"tid":0}],)"
            R"("displayTimeUnit":"ms"})");
}

TEST_F(ProfilerFiles, TraceKeepsRecordingOrderAndNegativeOffsets) {
  Profiler profiler(options("p", "run", true, false));
  const TimePoint origin = profiler.start_time();
  profiler.record("b", origin + std::chrono::nanoseconds(1234567800), origin + std::chrono::nanoseconds(1234567812));
  profiler.record("a", origin - microseconds(12), origin);
  profiler.record("b", origin, origin);
  profiler.finalize();
  EXPECT_EQ(read("p/run_trace.json"),
            R"({"traceEvents":[{"name":"b","ph":"X","ts":1.23457e+06,"dur":0.012,"pid":0,"tid":0},)"
            R"({"name":"a","ph":"X","ts":-12,"dur":12,"pid":0,"tid":0},)"
            R"({"name":"b","ph":"X","ts":0,"dur":0,"pid":0,"tid":0}],"displayTimeUnit":"ms"})");
}

TEST_F(ProfilerFiles, SummaryLineLayout) {
  Profiler profiler(options("p", "run", false, true));
  const TimePoint t = profiler.start_time();
  for (int us : {1000, 2000, 6000}) profiler.record("pwas.expand", t, t + microseconds(us));
  const kestrel::PhaseStats& stats = profiler.phases().at("pwas.expand");
  EXPECT_EQ(stats.count, 3u);
  EXPECT_EQ(stats.max_us, 6000.0);
  EXPECT_EQ(stats.total_us, 9000.0);
  profiler.finalize();
  const std::string line = "pwas.expand                      3     3.000     6.000      9.000\n";
  ASSERT_EQ(line.size(), 66u);
  EXPECT_EQ(read("p/run_summary.txt"), kSummaryHeader + line);
}

TEST_F(ProfilerFiles, LongNamesAreCutInTheSummaryOnly) {
  const std::string name = "abcdefghijklmnopqrstuvwxyz0123";
  Profiler profiler(options("p", "run", true, true));
  const TimePoint t = profiler.start_time();
  profiler.record(name.c_str(), t, t + microseconds(1));
  profiler.record("short", t, t + microseconds(1234567));
  profiler.finalize();
  EXPECT_NE(read("p/run_trace.json").find(R"("name":"abcdefghijklmnopqrstuvwxyz0123")"), std::string::npos);

  std::istringstream summary(read("p/run_summary.txt"));
  std::string header, rule, line;
  std::getline(summary, header);
  std::getline(summary, rule);
  std::set<std::string> lines;
  while (std::getline(summary, line)) lines.insert(line);
  EXPECT_EQ(lines, (std::set<std::string>{
                       "abcdefghijklmnopqrstuvwxyz       1     0.001     0.001      0.001",
                       "short                            1  1234.567  1234.567   1234.567",
                   }));
}

TEST_F(ProfilerFiles, AnUnopenableArtifactIsSkippedAndTheOtherStillWritten) {
  fs::create_directories("p/run_trace.json");  // a directory where the trace file should go
  Profiler profiler(options("p", "run", true, true));
  kestrel::testing::takeCapturedStderr();
  EXPECT_NO_THROW(profiler.finalize());
  EXPECT_TRUE(fs::is_directory("p/run_trace.json"));
  EXPECT_EQ(read("p/run_summary.txt"), kSummaryHeader);
  EXPECT_EQ(kestrel::testing::takeCapturedStderr(), "[WARN] Unable to write profiling artifact p/run_trace.json\n");
}

// Before the search, so that a typo never costs the result of a long solve.
TEST_F(ProfilerFiles, DirectoryThatCannotBeCreatedFailsAtConstruction) {
  {
    std::ofstream("plain") << "x";
  }
  for (const char* directory : {"plain", "plain/sub"}) {
    EXPECT_THROW(Profiler(options(directory, "run", true, true)), fs::filesystem_error) << directory;
  }
  EXPECT_EQ(read("plain"), "x");

  Profiler profiler(options("gone", "run", true, true));
  EXPECT_TRUE(fs::is_directory("gone"));
  fs::remove("gone");
  {
    std::ofstream("gone") << "x";
  }
  EXPECT_THROW(profiler.finalize(), fs::filesystem_error);
}

TEST_F(ProfilerFiles, RunIdsThatCouldLeaveTheDirectoryAreRefused) {
  for (const std::string& run_id :
       std::vector<std::string>{"/tmp/escape", "a/b", "..", "x..y", std::string("a\0b", 3)}) {
    EXPECT_THROW(Profiler(options("p", run_id, true, false)), std::invalid_argument) << run_id;
  }
  EXPECT_FALSE(fs::exists("p"));
  EXPECT_NO_THROW(Profiler(options("p", "/not/checked/when/disabled", false, false)));
  EXPECT_NO_THROW(Profiler(options("p", "run.v2_final-1", true, false)));
}

TEST_F(ProfilerFiles, FinalizeKeepsTheCollectedData) {
  Profiler profiler(options("p", "run", false, true));
  const TimePoint t = profiler.start_time();
  profiler.record("x", t, t + microseconds(4000));
  profiler.finalize();
  profiler.record("x", t, t + microseconds(2000));
  profiler.finalize();
  EXPECT_EQ(read("p/run_summary.txt"),
            std::string(kSummaryHeader) + "x                                2     3.000     4.000      6.000\n");
}

// ---- PhaseClock

struct ClockFixture {
  explicit ClockFixture(bool profiling) : profiler(ProfilingOptions{profiling, "unused", "run", profiling, false}) {}
  PhaseClock clock(bool timing, bool breakdown, bool sync) {
    timing_ = timing;
    breakdown_ = breakdown;
    sync_ = sync;
    return PhaseClock(timing_, breakdown_, sync_, [this] { ++syncs; }, profiler);
  }
  Profiler profiler;
  int syncs = 0;

 private:
  bool timing_ = false, breakdown_ = false, sync_ = false;
};

TEST(PhaseClock, TimingOffReadsNothingSynchronisesNothingRecordsNothing) {
  ClockFixture f(true);
  PhaseClock clock = f.clock(false, true, true);
  EXPECT_EQ(clock.start(), TimePoint{});
  EXPECT_EQ(clock.stop("pwas.expand", TimePoint{}), 0.0);
  EXPECT_EQ(clock.stop("pwas.expand", kestrel::now() - std::chrono::seconds(3)), 0.0);
  EXPECT_EQ(f.syncs, 0);
  EXPECT_TRUE(f.profiler.events().empty());
}

TEST(PhaseClock, SynchronisesOnlyWithBreakdownAndCudaSync) {
  for (bool breakdown : {false, true}) {
    for (bool sync : {false, true}) {
      ClockFixture f(true);
      PhaseClock clock = f.clock(true, breakdown, sync);
      clock.stop("pwas.cost", clock.start());
      EXPECT_EQ(f.syncs, breakdown && sync ? 1 : 0) << "breakdown=" << breakdown << " sync=" << sync;
    }
  }
}

TEST(PhaseClock, SynchronisationIsInsideTheMeasuredRegion) {
  ClockFixture f(false);
  bool timing = true, breakdown = true, sync = true;
  PhaseClock clock(
      timing, breakdown, sync, [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }, f.profiler);
  EXPECT_GE(clock.stop("pwas.heuristic", clock.start()), 0.02);
}

TEST(PhaseClock, RecordsIntoAnEnabledProfilerOnly) {
  ClockFixture enabled(true);
  PhaseClock clock = enabled.clock(true, false, false);
  const TimePoint begin = kestrel::now() - std::chrono::milliseconds(7);
  const double seconds = clock.stop("pwas.add_to_open", begin);
  ASSERT_EQ(enabled.profiler.events().size(), 1u);
  const kestrel::TraceEvent& event = enabled.profiler.events().front();
  EXPECT_EQ(event.name, "pwas.add_to_open");
  EXPECT_GE(seconds, 0.007);
  EXPECT_NEAR(event.dur_us, seconds * 1e6, 1e-6);
  EXPECT_EQ(enabled.profiler.phases().at("pwas.add_to_open").count, 1u);

  ClockFixture disabled(false);
  PhaseClock quiet = disabled.clock(true, false, false);
  EXPECT_GE(quiet.stop("pwas.add_to_open", begin), 0.007);
  EXPECT_TRUE(disabled.profiler.events().empty());
}

// ---- Console durations

TEST(FormatSeconds, ExponentOnlyForNonZeroValuesBelowFiveMilliseconds) {
  EXPECT_EQ(kestrel::formatSeconds(0.0), "0.00");
  EXPECT_EQ(kestrel::formatSeconds(-0.0), "-0.00");
  EXPECT_EQ(kestrel::formatSeconds(0.001234), "1.23e-03");
  EXPECT_EQ(kestrel::formatSeconds(-0.001), "-1.00e-03");
  EXPECT_EQ(kestrel::formatSeconds(0.0049), "4.90e-03");
  EXPECT_EQ(kestrel::formatSeconds(0.005), "0.01");
  EXPECT_EQ(kestrel::formatSeconds(12.3456), "12.35");
  EXPECT_EQ(kestrel::formatSeconds(std::numeric_limits<double>::quiet_NaN()), "nan");
  EXPECT_EQ(kestrel::formatSeconds(1e300).size(), 63u);
}

}  // namespace
