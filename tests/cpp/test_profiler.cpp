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

#include "kestrel/profiling/phase_timer.h"
#include "kestrel/profiling/profiler.h"
#include "kestrel/solve/iteration_report.h"
#include "kestrel/solve/operation_totals.h"
#include "support/captured_console.h"

namespace {

namespace fs = std::filesystem;
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

// ---- PhaseTimer

using kestrel::Phase;
using kestrel::PhaseTimer;

struct TimerFixture {
  explicit TimerFixture(bool profiling) : profiler(ProfilingOptions{profiling, "unused", "run", profiling, false}) {}
  PhaseTimer timer(bool timing, bool synchronize, std::initializer_list<Phase> untraced = {}) {
    return PhaseTimer("pwas", {timing, synchronize}, [this] { ++syncs; }, profiler, untraced);
  }
  Profiler profiler;
  int syncs = 0;
};

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

TEST(PhaseTimer, TimingOffReadsNothingSynchronisesNothingRecordsNothing) {
  TimerFixture f(true);
  PhaseTimer timer = f.timer(false, true);
  {
    auto phase = timer.phase(Phase::Expand);
    sleepMs(2);
  }
  EXPECT_EQ(timer.seconds()[Phase::Expand], 0.0);
  EXPECT_EQ(f.syncs, 0);
  EXPECT_TRUE(f.profiler.events().empty());
}

TEST(PhaseTimer, OnlyDevicePhasesSynchroniseAndOnlyWhenAsked) {
  for (bool synchronize : {false, true}) {
    TimerFixture f(false);
    PhaseTimer timer = f.timer(true, synchronize);
    {
      auto phase = timer.phase(Phase::Cost);
    }
    {
      auto phase = timer.hostPhase(Phase::PopGoalTest);
    }
    EXPECT_EQ(f.syncs, synchronize ? 1 : 0) << "synchronize=" << synchronize;
  }
  EXPECT_FALSE((PhaseTimer::Switches::of(true, false, true, false).synchronize_phases));
  EXPECT_TRUE((PhaseTimer::Switches::of(false, true, true, false).synchronize_phases));
  EXPECT_TRUE((PhaseTimer::Switches::of(false, false, false, true).timing));
  EXPECT_FALSE((PhaseTimer::Switches::of(false, false, true, false).timing));
}

TEST(PhaseTimer, SynchronisationIsInsideThePhase) {
  Profiler profiler(ProfilingOptions{});
  PhaseTimer timer("pwas", {true, true}, [] { sleepMs(20); }, profiler);
  {
    auto phase = timer.phase(Phase::Heuristic);
  }
  EXPECT_GE(timer.seconds()[Phase::Heuristic], 0.02);
}

TEST(PhaseTimer, EventsAreNamedByPrefixAndPhaseAndSecondsAddUpPerIteration) {
  TimerFixture f(true);
  PhaseTimer timer = f.timer(true, false, {Phase::ExpandMisc});
  {
    auto iteration = timer.iteration();
    for (int i = 0; i < 2; ++i) {
      auto phase = timer.phase(Phase::AddToOpen);
      sleepMs(4);
    }
    auto misc = timer.phase(Phase::ExpandMisc);
  }
  std::vector<std::string> names;
  for (const kestrel::TraceEvent& event : f.profiler.events()) names.push_back(event.name);
  EXPECT_EQ(names, (std::vector<std::string>{"pwas.add_to_open", "pwas.add_to_open", "pwas.iteration"}));
  const double pushes = timer.seconds()[Phase::AddToOpen];
  EXPECT_GE(pushes, 0.008);
  EXPECT_NEAR(pushes * 1e6, f.profiler.events()[0].dur_us + f.profiler.events()[1].dur_us, 1e-3);
  EXPECT_GE(timer.seconds()[Phase::Iteration], pushes);
  EXPECT_GT(timer.seconds()[Phase::ExpandMisc], 0.0);  // measured, not traced

  {
    auto next = timer.iteration();
  }  // a new iteration starts from zero
  EXPECT_EQ(timer.seconds()[Phase::AddToOpen], 0.0);
}

TEST(PhaseTimer, MeasuresWithoutAProfiler) {
  TimerFixture f(false);
  PhaseTimer timer = f.timer(true, false);
  {
    auto phase = timer.phase(Phase::ClosedFilter);
    sleepMs(7);
  }
  EXPECT_GE(timer.seconds()[Phase::ClosedFilter], 0.007);
  EXPECT_TRUE(f.profiler.events().empty());
}

// ---- Operation timings and the console line from phase seconds

TEST(OperationTotals, EachOperationGetsItsCoreAndMiscSeconds) {
  kestrel::PhaseSeconds s;
  s[Phase::PopFromOpen] = 5;
  s[Phase::PopGoalTest] = 2;
  s[Phase::PopMisc] = 0.5;
  s[Phase::Expand] = 3;
  s[Phase::ExpandMisc] = 1;
  s[Phase::IsSolved] = 4;
  s[Phase::ClosedFilter] = 6;
  s[Phase::CheckMisc] = 0.25;
  s[Phase::Heuristic] = 10;
  s[Phase::HeuristicInfer] = 7;
  s[Phase::Cost] = 1;
  s[Phase::PersistChildren] = 2;
  s[Phase::AddToOpen] = 8;
  s[Phase::Iteration] = 50;
  kestrel::OperationTotals totals(true);
  totals.iteration(s, {true, true, true});
  totals.iteration(s, {false, false, false});  // popped only a goal
  const auto& t = totals.timings();
  auto expect = [&](kestrel::Operation op, double core, double misc, std::uint64_t count) {
    const kestrel::OperationTiming& timing = t[static_cast<std::size_t>(op)];
    EXPECT_DOUBLE_EQ(timing.core_seconds, core) << kestrel::kOperationNames[static_cast<std::size_t>(op)];
    EXPECT_DOUBLE_EQ(timing.misc_seconds, misc) << kestrel::kOperationNames[static_cast<std::size_t>(op)];
    EXPECT_DOUBLE_EQ(timing.total_seconds, core + misc);
    EXPECT_EQ(timing.call_count, count) << kestrel::kOperationNames[static_cast<std::size_t>(op)];
  };
  expect(kestrel::Operation::Pop, 6, 5, 2);
  expect(kestrel::Operation::Expand, 3, 1, 1);
  expect(kestrel::Operation::IsSolved, 4, 0, 1);
  expect(kestrel::Operation::Check, 6, 0.25, 1);
  expect(kestrel::Operation::Heuristic, 7, 6, 1);
  expect(kestrel::Operation::Push, 8, 0, 1);
  expect(kestrel::Operation::Iteration, 100, 0, 2);

  const kestrel::IterationTimes line = kestrel::iterationTimes(s);
  EXPECT_EQ(line.pop, 3);
  EXPECT_EQ(line.is_solved, 6);
  EXPECT_EQ(line.heuristic, 7);
  EXPECT_EQ(line.iteration, 50);

  kestrel::OperationTotals off(false);
  off.iteration(s, {true, true, true});
  EXPECT_EQ(off.timings()[0].call_count, 0u);
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
