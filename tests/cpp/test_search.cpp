// The CPU search on small hand-made graphs, where every pop, duplicate and
// cost is known in advance. The heuristic is a real package: the "affine"
// test package computes 2x - 1 from a one-float input, so an environment that
// writes (h + 1) / 2 gets exactly h back.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kestrel/env/registrar.h"
#include "kestrel/heuristic/manifest.h"
#include "kestrel/pwas/entry.h"
#include "kestrel/pwas/search.h"
#include "kestrel/pwas/solution_path.h"
#include "kestrel/solve/interrupt.h"
#include "support/captured_console.h"
#include "support/expect_error.h"

namespace fs = std::filesystem;

namespace {

// A directed graph of numbered states with a goal set and an exact heuristic.
struct Graph {
  std::map<int, std::vector<int>> successors;
  std::set<int> goals;
  std::map<int, float> heuristic;
  int dead_end = -1;                   // expand() of this state throws
  int null_successor_of = -1;          // expand() of this state yields a null entry
  int goal_test_throws = -1;           // is_solved() of this state throws
  int repeated_goal_test_throws = -1;  // is_solved() of this state throws when asked again (as a popped node)
  bool apply_move_broken = false;
  std::size_t input_width = 1;
  // Misbehaving plugins:
  int throws_non_std = -1;      // expand() of this state throws an int
  int wider_input = -1;         // input_size() of this state is one more than input_width
  int longer_children_of = -1;  // the successors of this state carry a second state byte
  int first_child_only = -1;    // expand() of this state lists only its first successor
  // state() returns a buffer that its next call on the thread overwrites (the
  // solver must copy at once), and notes calls off the solving thread.
  bool state_in_shared_buffer = false;
};

const Graph* graph = nullptr;
std::thread::id solving_thread;
std::atomic<int> state_calls_off_solving_thread{0};

class GraphEnvironment : public Environment {
 public:
  explicit GraphEnvironment(int id, bool longer = false) : state_{static_cast<std::uint8_t>(id)} {
    if (longer) state_.push_back(0);
  }

  std::unique_ptr<Environment> apply_move(int move) const override {
    const auto& next = graph->successors.at(id());
    if (graph->apply_move_broken) return std::make_unique<GraphEnvironment>(250);
    return std::make_unique<GraphEnvironment>(next.at(static_cast<std::size_t>(move)));
  }
  std::vector<std::unique_ptr<Environment>> expand() const override {
    if (id() == graph->dead_end) throw std::runtime_error("expand failed on a worker");
    if (id() == graph->throws_non_std) throw 42;
    std::vector<std::unique_ptr<Environment>> children;
    auto it = graph->successors.find(id());
    if (it == graph->successors.end()) return children;
    for (int next : it->second) {
      children.push_back(std::make_unique<GraphEnvironment>(next, id() == graph->longer_children_of));
      if (id() == graph->first_child_only) break;
    }
    if (id() == graph->null_successor_of) children.push_back(nullptr);
    return children;
  }
  const std::vector<std::uint8_t>& state() const override {
    if (std::this_thread::get_id() != solving_thread) ++state_calls_off_solving_thread;
    if (!graph->state_in_shared_buffer) return state_;
    thread_local std::vector<std::uint8_t> buffer;
    buffer = state_;
    return buffer;
  }
  bool is_solved() const override {
    if (id() == graph->goal_test_throws) throw std::runtime_error("goal test failed on a worker");
    if (id() == graph->repeated_goal_test_throws && goal_tests_++ > 0) {
      throw std::runtime_error("popped goal test failed on a worker");
    }
    return graph->goals.count(id()) > 0;
  }
  int num_moves() const override {
    auto it = graph->successors.find(id());
    return it == graph->successors.end() ? 0 : static_cast<int>(it->second.size());
  }
  std::size_t input_size() const override { return graph->input_width + (id() == graph->wider_input ? 1 : 0); }
  void write_inputs(float* out) const override {
    auto it = graph->heuristic.find(id());
    out[0] = ((it == graph->heuristic.end() ? 0.0f : it->second) + 1.0f) / 2.0f;
  }

 private:
  int id() const { return state_[0]; }
  std::vector<std::uint8_t> state_;
  mutable std::atomic<int> goal_tests_{0};
};

class SearchTest : public ::testing::Test {
 protected:
  // One copy of the package for the whole suite: every solve then reuses the
  // process's loader of it, as a long-running caller's solves do, instead of
  // loading a fresh copy for every test.
  static void SetUpTestSuite() {
    const char* dir = std::getenv("KESTREL_TEST_PACKAGE_DIR");
    if (dir == nullptr) return;
    work_ = fs::temp_directory_path() / ("kestrel_search_" + std::to_string(::getpid()));
    fs::create_directories(work_);
    package_ = (work_ / "affine.pt2").string();
    fs::copy_file(fs::path(dir) / "affine.pt2", package_, fs::copy_options::overwrite_existing);
  }
  static void TearDownTestSuite() {
    if (!work_.empty()) fs::remove_all(work_);
  }

  void SetUp() override {
    if (package_.empty()) GTEST_SKIP() << "KESTREL_TEST_PACKAGE_DIR is not set";
    std::ofstream(package_ + ".json")
        << R"({"env": "graph", "inputs": [{"numel_per_example": 1, "shape": ["batch", 1]}]})";
    settings_.device = "cpu";
    settings_.batch_size = 1;
    kestrel::testing::takeCapturedStdout();
  }
  void TearDown() override { graph = nullptr; }

  kestrel::SolveResult solve(const Graph& g, int start = 0) {
    solving_thread = std::this_thread::get_id();
    state_calls_off_solving_thread = 0;
    graph = &g;
    return kestrel::parallelWeightedAStar(std::make_unique<GraphEnvironment>(start),
                                          kestrel::loadAOTIManifest(package_), settings_);
  }

  std::string solveError(const Graph& g) {
    try {
      return kestrel::testing::thrownMessage<std::exception>([&] { solve(g); });
    } catch (...) {
      return "not a std::exception";
    }
  }

  static inline fs::path work_;
  static inline std::string package_;
  kestrel::SolverSettings settings_;
};

// 0 - 1 - 2 - 3 - 4 - 5 on a line; move 0 steps right, move 1 steps left
// (at 0 it stays). The heuristic is the exact distance to 5.
Graph line() {
  Graph g;
  for (int i = 0; i < 5; ++i) g.successors[i] = {i + 1, i == 0 ? 0 : i - 1};
  g.successors[5] = {5, 4};
  g.goals = {5};
  for (int i = 0; i <= 5; ++i) g.heuristic[i] = static_cast<float>(5 - i);
  return g;
}

TEST_F(SearchTest, LineIsSolvedAlongTheShortestPath) {
  const Graph g = line();
  for (const char* source : {"infer", "stored"}) {
    settings_.solution_move_source = source;
    const auto result = solve(g);
    EXPECT_TRUE(result.solved);
    EXPECT_FALSE(result.search_budget_exceeded);
    EXPECT_EQ(result.moves, (std::vector<std::int32_t>{0, 0, 0, 0, 0})) << source;
    EXPECT_EQ(result.nodes_generated, 10u);  // states 0..4 expanded, two successors each
    EXPECT_FALSE(result.has_operation_timings);
  }
}

TEST_F(SearchTest, ExpandPoppedBatchAlsoExpandsTheGoal) {
  settings_.goal_stop_mode = "expand_popped_batch";
  const auto result = solve(line());
  EXPECT_TRUE(result.solved);
  EXPECT_EQ(result.nodes_generated, 12u);
}

TEST_F(SearchTest, StartStateThatIsTheGoalStillEvaluatesTheNetworkOnce) {
  settings_.operation_breakdown = true;
  settings_.verbose = true;
  const auto result = solve(line(), 5);
  EXPECT_TRUE(result.solved);
  EXPECT_TRUE(result.moves.empty());
  EXPECT_EQ(result.nodes_generated, 0u);
  ASSERT_TRUE(result.has_operation_timings);
  EXPECT_EQ(result.operation_timings[1].call_count, 1u);  // is_solved
  EXPECT_EQ(result.operation_timings[4].call_count, 1u);  // heuristic
  for (std::size_t i : {0, 2, 3, 5, 6}) EXPECT_EQ(result.operation_timings[i].call_count, 0u) << i;
  const std::string out = kestrel::testing::takeCapturedStdout();
  EXPECT_EQ(out.rfind("SOLVED!\nMove nums:\n\nNodes Generated:\n0\nTotal time:\n", 0), 0u) << out;
}

TEST_F(SearchTest, DeadEndsExhaustOpen) {
  Graph g = line();
  g.successors[2] = {};  // nothing past 2
  g.successors[1] = {2};
  g.successors[0] = {1};
  settings_.verbose = true;
  const auto result = solve(g);
  EXPECT_FALSE(result.solved);
  EXPECT_FALSE(result.search_budget_exceeded);
  EXPECT_TRUE(result.moves.empty());
  EXPECT_EQ(result.nodes_generated, 2u);
  const std::string out = kestrel::testing::takeCapturedStdout();
  EXPECT_EQ(out.rfind("Open set exhausted without finding a solution.\nSearch terminated without discovering a "
                      "solution.\nNodes Generated:\n2\nTotal time:\n",
                      0),
            0u)
      << out;
}

TEST_F(SearchTest, BudgetStopsAfterTheIterationThatReachesIt) {
  settings_.search_budget = 3;
  const auto result = solve(line());
  EXPECT_FALSE(result.solved);
  EXPECT_TRUE(result.search_budget_exceeded);
  EXPECT_EQ(result.nodes_generated, 4u);
  settings_.search_budget = 0;
  EXPECT_TRUE(solve(line()).solved);
}

TEST_F(SearchTest, PrintInternalsReportsTheAcceptedBatch) {
  settings_.print_internals = true;
  solve(line());
  const std::string out = kestrel::testing::takeCapturedStdout();
  // Iteration 0 expands state 0: state 1 (h 4, depth 1) is accepted, state 0 again is a duplicate.
  EXPECT_EQ(out.rfind("Itr: 0, Added to OPEN - Min/Max Heur(PathCost): 4.00(1.00)/4.00(1.00) \nTimes - pop: ", 0), 0u)
      << out;
  EXPECT_NE(out.find("Itr: 4, Added to OPEN - Min/Max Heur(PathCost): 0.00(5.00)/0.00(5.00) \n"), std::string::npos)
      << out;
  // The last iteration pops the goal first and expands nothing: no lines.
  EXPECT_EQ(out.find("Itr: 5"), std::string::npos);
}

TEST_F(SearchTest, OperationTimingsCountIterations) {
  settings_.operation_breakdown = true;
  const auto result = solve(line());
  const auto& t = result.operation_timings;
  EXPECT_EQ(t[0].call_count, 6u);  // pop: 5 expanding iterations + the goal pop
  EXPECT_EQ(t[6].call_count, 6u);  // iteration
  EXPECT_EQ(t[2].call_count, 5u);  // expand
  EXPECT_EQ(t[3].call_count, 5u);  // check
  EXPECT_EQ(t[5].call_count, 5u);  // push
  EXPECT_EQ(t[1].call_count, 6u);  // is_solved: the start node + 5 successor batches
  EXPECT_EQ(t[4].call_count, 6u);  // heuristic: the start node + 5 accepting iterations
  for (const auto& timing : t) {
    EXPECT_GE(timing.total_seconds, 0.0);
    EXPECT_NEAR(timing.total_seconds, timing.core_seconds + timing.misc_seconds, 1e-9);
  }
}

// S(0) -> A(1), B(2); A -> A2(3) -> C(4); B -> C; C -> G(5). The heuristic
// lures the search down the long branch, so C is first reached at depth 3 and
// later, through B, at depth 2.
Graph shortcut() {
  Graph g;
  g.successors = {{0, {1, 2}}, {1, {3}}, {3, {4}}, {2, {4}}, {4, {5}}};
  g.goals = {5};
  g.heuristic = {{0, 3}, {1, 0.5f}, {3, 0.5f}, {2, 10}, {4, 20}, {5, 0}};
  return g;
}

TEST_F(SearchTest, ShorterPathToAKnownStateReplacesItInBothDuplicateModes) {
  for (const char* mode : {"in_place", "new_slot"}) {
    settings_.duplicate_update_mode = mode;
    for (const char* source : {"infer", "stored"}) {
      settings_.solution_move_source = source;
      const auto result = solve(shortcut());
      EXPECT_TRUE(result.solved);
      EXPECT_EQ(result.moves, (std::vector<std::int32_t>{1, 0, 0})) << mode << " " << source;
      EXPECT_EQ(result.nodes_generated, 6u) << mode;
    }
  }
}

TEST_F(SearchTest, EqualCostGoalsInOneBatchKeepTheFirstPopped) {
  Graph g;
  g.successors = {{0, {1, 2}}};
  g.goals = {1, 2};
  g.heuristic = {{0, 1}};
  settings_.batch_size = 4;
  settings_.goal_stop_mode = "expand_popped_batch";
  settings_.solution_move_source = "stored";
  const auto result = solve(g);
  EXPECT_TRUE(result.solved);
  EXPECT_EQ(result.moves, (std::vector<std::int32_t>{0}));
}

TEST_F(SearchTest, WeightScalesThePathCostNotTheHeuristic) {
  // Two routes to the goal: 0 -> 1 -> 9 (2 moves) and 0 -> 2 -> 3 -> 4 -> 9 (4 moves), the heuristic
  // favouring the long one. With weight 1 the path cost steers the search onto the short route; with weight 0
  // it ranks by h alone and follows the long one.
  Graph g;
  g.successors = {{0, {1, 2}}, {1, {9}}, {2, {3}}, {3, {4}}, {4, {9}}};
  g.goals = {9};
  g.heuristic = {{0, 2}, {1, 3}, {2, 2}, {3, 1.5f}, {4, 1.25f}, {9, 0}};
  settings_.solution_move_source = "stored";
  settings_.weight = 1.0f;
  EXPECT_EQ(solve(g).moves, (std::vector<std::int32_t>{0, 0}));
  settings_.weight = 0.0f;
  EXPECT_EQ(solve(g).moves, (std::vector<std::int32_t>{1, 0, 0, 0}));
}

TEST_F(SearchTest, InferenceFailsWhenApplyMoveCannotReproduceASuccessor) {
  Graph g = line();
  g.apply_move_broken = true;
  EXPECT_EQ(solveError(g), kestrel::kInferMoveMessage);
  settings_.solution_move_source = "stored";
  EXPECT_TRUE(solve(g).solved);
}

TEST_F(SearchTest, WorkerExceptionsReachTheCallerInsteadOfAborting) {
  Graph g = line();
  g.dead_end = 2;
  EXPECT_EQ(solveError(g), "expand failed on a worker");
  g = line();
  g.goal_test_throws = 3;
  EXPECT_EQ(solveError(g), "goal test failed on a worker");
  g = line();
  g.null_successor_of = 1;
  EXPECT_EQ(solveError(g), kestrel::kNullSuccessorMessage);
}

TEST_F(SearchTest, WorkerExceptionsInRegionsWideEnoughToRunInParallel) {
  // A root with 100 successors: their goal tests, and their goal tests as popped nodes and their expansions
  // in the next iteration, are wide enough to be spread over the worker threads.
  Graph g;
  for (int i = 1; i <= 100; ++i) g.successors[0].push_back(i);
  g.goal_test_throws = 77;
  settings_.batch_size = 200;
  EXPECT_EQ(solveError(g), "goal test failed on a worker");
  g.goal_test_throws = -1;
  g.repeated_goal_test_throws = 77;
  EXPECT_EQ(solveError(g), "popped goal test failed on a worker");
  g.repeated_goal_test_throws = -1;
  g.dead_end = 50;
  EXPECT_EQ(solveError(g), "expand failed on a worker");
  g.dead_end = -1;
  const auto result = solve(g);
  EXPECT_FALSE(result.solved);
  EXPECT_EQ(result.nodes_generated, 100u);
}

// state() belongs to the solving thread, and what it returns may be reused by
// its next call: wide regions must neither call it on a worker nor keep it.
TEST_F(SearchTest, StateIsReadOnTheSolvingThreadAndCopiedAtOnce) {
  Graph g;
  for (int i = 1; i <= 100; ++i) {
    g.successors[0].push_back(i);
    g.successors[i] = {100 + i % 50};
  }
  g.goals = {142};
  settings_.batch_size = 200;
  const auto expected = solve(g);
  ASSERT_TRUE(expected.solved);
  g.state_in_shared_buffer = true;
  const auto result = solve(g);
  EXPECT_EQ(result.moves, expected.moves);
  EXPECT_EQ(result.nodes_generated, expected.nodes_generated);
  EXPECT_EQ(state_calls_off_solving_thread.load(), 0);
}

TEST_F(SearchTest, MisbehavingPluginsFailClearlyOrSolve) {
  Graph g = line();
  g.throws_non_std = 2;  // not a std::exception, thrown on a worker
  EXPECT_EQ(solveError(g), "not a std::exception");
  g = line();
  g.wider_input = 3;  // would write past the network input buffer
  EXPECT_EQ(solveError(g), kestrel::kSuccessorInputSizeMessage);

  // States of another length are other states: "infer" cannot reproduce
  // them, "stored" reports the moves that reached them.
  g = line();
  g.longer_children_of = 4;  // its successors are [5, 0], a goal, and [3, 0]
  EXPECT_EQ(solveError(g), kestrel::kInferMoveMessage);
  settings_.solution_move_source = "stored";
  EXPECT_EQ(solve(g).moves, (std::vector<std::int32_t>{0, 0, 0, 0, 0}));
  settings_.solution_move_source = "infer";

  // Fewer successors than num_moves() is a legal dead end for the moves left out.
  g = line();
  g.first_child_only = 2;
  const auto result = solve(g);
  EXPECT_TRUE(result.solved);
  EXPECT_EQ(result.moves, (std::vector<std::int32_t>{0, 0, 0, 0, 0}));
}

TEST_F(SearchTest, AnInterruptEndsTheSolveBetweenIterations) {
  kestrel::testing::requestInterrupt();
  EXPECT_THROW(solve(line()), kestrel::SolveInterrupted);
  EXPECT_TRUE(solve(line()).solved);  // the request was consumed; the next solve runs
}

TEST_F(SearchTest, InputWidthIsCheckedAgainstTheManifest) {
  Graph g = line();
  g.input_width = 2;
  EXPECT_EQ(solveError(g), kestrel::kInputSizeMismatchMessage);
  std::ofstream(package_ + ".json") << R"({"inputs": [{"numel_per_example": 0, "shape": ["batch", 0]}]})";
  EXPECT_EQ(solveError(line()), kestrel::kZeroInputFootprintMessage);
}

TEST_F(SearchTest, SettingsAreValidatedBeforeAnyWork) {
  settings_.memory_dtype_open_cost = "float16";
  settings_.goal_stop_mode = "never";
  EXPECT_EQ(solveError(line()),
            "C++ CPU A* supports float32 and float64 for memory_dtype_open_cost, received 'float16'");
  settings_.memory_dtype_open_cost = "float64";
  EXPECT_EQ(solveError(line()), "goal_stop_mode must be 'stop_before_goal' or 'expand_popped_batch'");
  settings_.goal_stop_mode = "stop_before_goal";
  settings_.device = "tpu";
  EXPECT_EQ(solveError(line()), "Unsupported device spec: tpu");
}

TEST_F(SearchTest, EveryCostTypeCombinationRuns) {
  const char* names[2] = {"float32", "float64"};
  for (int mask = 0; mask < 32; ++mask) {
    settings_.memory_dtype_path_cost = names[mask & 1];
    settings_.memory_dtype_heuristic = names[(mask >> 1) & 1];
    settings_.memory_dtype_total_cost = names[(mask >> 2) & 1];
    settings_.memory_dtype_open_cost = names[(mask >> 3) & 1];
    settings_.memory_dtype_closed_cost = names[(mask >> 4) & 1];
    const auto result = solve(shortcut());
    EXPECT_EQ(result.moves, (std::vector<std::int32_t>{1, 0, 0})) << mask;
  }
}

// ---- The entry: registry lookup, manifest warning, null environments.

std::unique_ptr<Environment> makeGraphStart(const std::vector<std::uint8_t>& state) {
  return std::make_unique<GraphEnvironment>(state.at(0));
}
std::unique_ptr<Environment> makeNothing(const std::vector<std::uint8_t>&) { return nullptr; }

TEST_F(SearchTest, EntryWarnsWhenTheManifestNamesAnotherEnvironment) {
  kestrel::register_cpu_environment("Graph", &makeGraphStart);
  kestrel::register_cpu_environment("other-graph", &makeGraphStart);
  const Graph g = line();
  graph = &g;
  kestrel::testing::takeCapturedStderr();
  const std::vector<std::uint8_t> start{0};
  EXPECT_TRUE(kestrel::run_parallel_weighted_astar(start, "GRAPH", package_, settings_).solved);
  EXPECT_EQ(kestrel::testing::takeCapturedStderr(), "");
  EXPECT_TRUE(
      kestrel::run_parallel_weighted_astar(std::span<const std::uint8_t>(start), "Other-Graph", package_, settings_)
          .solved);
  EXPECT_EQ(kestrel::testing::takeCapturedStderr(),
            "[WARN] AOTI manifest env 'graph' differs from requested 'Other-Graph'\n");
}

TEST_F(SearchTest, EntryRejectsUnknownNamesBeforeReadingTheManifestAndNullEnvironments) {
  kestrel::testing::expectErrorStartingWith<std::invalid_argument>(
      [&] {
        kestrel::run_parallel_weighted_astar(std::vector<std::uint8_t>{0}, "No-Graph", "/nonexistent.pt2", settings_);
      },
      "Unknown environment 'no-graph' for the C++ parallel weighted A*");
  kestrel::register_cpu_environment("null-graph", &makeNothing);
  EXPECT_THROW(kestrel::run_parallel_weighted_astar(std::vector<std::uint8_t>{0}, "null-graph", package_, settings_),
               std::runtime_error);
}

}  // namespace
