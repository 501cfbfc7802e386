#pragma once

// Body of the CPU search. Included only by the files that instantiate it.
//
// Each iteration: pop up to `batch` nodes and goal-test them; then, a chunk
// of popped nodes at a time, expand them in parallel, lay the successors out,
// goal-test them in parallel, filter them through CLOSED and write the
// network rows of the accepted ones; evaluate every accepted row in one
// network call; compute f = weight * g + h in parallel; push them onto OPEN.

#include <c10/core/InferenceMode.h>
#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <stdexcept>
#include <vector>

#include "kestrel/heuristic/runner.h"
#include "kestrel/profiling/phase_timer.h"
#include "kestrel/profiling/profiler.h"
#include "kestrel/pwas/closed_table.h"
#include "kestrel/pwas/node_store.h"
#include "kestrel/pwas/open_queue.h"
#include "kestrel/pwas/parallel_errors.h"
#include "kestrel/pwas/search.h"
#include "kestrel/pwas/search_report.h"
#include "kestrel/pwas/solution_path.h"
#include "kestrel/pwas/streaming_copy.h"
#include "kestrel/pwas/team_sizer.h"
#include "kestrel/pwas/zeroed_memory.h"
#include "kestrel/solve/interrupt.h"
#include "kestrel/solve/operation_totals.h"
#include "kestrel/solve/search_result.h"

namespace kestrel {

// Below these sizes a parallel region costs more to start than its work: a
// smaller region runs on the solving thread alone.
inline constexpr std::int64_t kMinParallelEnvironmentCalls = 32;
inline constexpr std::int64_t kMinParallelCostRows = 4096;
inline constexpr std::int64_t kMinParallelLookups = 256;
// Environment calls a team member takes at a time. Members take blocks as
// they come free: their calls cost unevenly (one allocates where another
// reuses), and a member held up elsewhere must not hold up the region by a
// fixed share of it.
inline constexpr int kEnvironmentBlock = 32;
// Popped nodes per chunk of an iteration: their successors are laid out,
// tested, filtered and written as network rows while still in cache, and
// the rejected ones are freed before the next chunk allocates.
inline constexpr std::size_t kChunkNodes = 1024;

// The initial capacities, refused when their reservations could never be met.
inline InitialCapacities reservableCapacities(const SolverSettings& settings) {
  const InitialCapacities capacities = resolveCapacities(settings);
  requireReservable(capacities, settings, availableMemoryBytes());
  return capacities;
}

inline ProfilingOptions cpuProfilingOptions(const ProfilingOptions& options) {
  ProfilingOptions resolved = options;
  if (resolved.run_id.empty()) resolved.run_id = "cpp_pwas";
  return resolved;
}

template <typename Costs>
class TypedSearch {
 public:
  using Node = SearchNode<Costs>;
  using PathCost = typename Costs::PathCost;
  using TotalCost = typename Costs::TotalCost;
  using OpenCost = typename Costs::OpenCost;
  using ClosedCost = typename Costs::ClosedCost;
  using Heuristic = typename Costs::Heuristic;

  TypedSearch(const AOTIManifest& manifest, const SolverSettings& settings, const SearchOptions& options,
              std::size_t input_width)
      : settings_(settings),
        options_(options),
        batch_(static_cast<std::size_t>(std::max(settings.batch_size, 1))),
        runner_(manifest, settings.device),
        profiler_(cpuProfilingOptions(settings.profiling)),
        // Laying the successors out counts as expansion overhead but has no
        // trace event of its own.
        timer_("pwas",
               PhaseTimer::Switches::of(settings.print_internals, settings.operation_breakdown,
                                        settings.cuda_sync_timing, profiler_.enabled()),
               [this] { runner_.synchronize(); }, profiler_, {Phase::ExpandMisc}),
        totals_(settings.operation_breakdown),
        capacities_(reservableCapacities(settings)),
        fixed_(options.capacity == CapacityMode::Fixed),
        open_(capacities_.open, fixed_),
        closed_(options.probing, capacities_.closed, fixed_),
        store_(capacities_.node_store, fixed_),
        new_slot_(options.duplicates == DuplicateMode::NewSlot),
        stop_before_goal_(options.goal_stop == GoalStopMode::StopBeforeGoal),
        team_(omp_get_max_threads(), kMinParallelEnvironmentCalls),
        input_buffer_(input_width),
        net_inputs_(manifest.inputs.size()) {
    for (const AOTIInputSpec& input : manifest.inputs) input_widths_.push_back(input.numel_per_example);
  }

  SolveResult run(std::unique_ptr<Environment> start) {
    t0_ = now();
    const bool root_goal = addStartNode(std::move(start));
    SearchOutcome outcome = SearchOutcome::Solved;
    if (!root_goal) outcome = loop();
    return finish(outcome);
  }

 private:
  // ---- Start node.

  bool addStartNode(std::unique_ptr<Environment> start) {
    const StateBytes root_state(start->state());
    Node* root = store_.add(std::move(start), root_state, 0, -1, nullptr);

    bool root_goal = false;
    {
      auto phase = timer_.phase(Phase::IsSolved);
      root_goal = root->env->is_solved();
    }
    std::vector<float> output;
    {
      auto phase = timer_.phase(Phase::Heuristic);
      writeNetworkInputs({root->env.get()}, 0);
      auto infer = timer_.phase(Phase::HeuristicInfer);
      output = runner_.infer(networkRows(1), 1);
    }
    totals_.startNode(timer_.seconds());

    const float h = output.empty() ? 0.0f : output.front();
    root->heuristic = static_cast<Heuristic>(h);
    open_.setKey(root->id, root_goal ? OpenCost(0) : static_cast<OpenCost>(h));
    root->closed_cost = static_cast<ClosedCost>(0);
    if (root_goal) best_goal_ = root;
    open_.push(root->id);
    closed_.insert(root);
    return root_goal;
  }

  // ---- The loop.

  SearchOutcome loop() {
    for (;;) {
      interrupts_.poll();
      if (open_.empty()) {
        if (settings_.verbose) printOpenExhausted();
        return SearchOutcome::OpenExhausted;
      }
      team_.startIteration();
      const bool expanded = iterate();
      report(expanded);
      if (!expanded) {  // the first popped node was a goal: nothing to expand
        ++iteration_;
        return SearchOutcome::Solved;
      }
      nodes_generated_ += iteration_successors_;
      team_.finishIteration(static_cast<std::int64_t>(popped_.size()));

      if (!goal_popped_ && settings_.search_budget > 0 &&
          nodes_generated_ >= static_cast<std::uint64_t>(settings_.search_budget)) {
        return SearchOutcome::BudgetExceeded;
      }
      ++iteration_;
      if (goal_popped_) return SearchOutcome::Solved;
    }
  }

  // One iteration; returns whether it expanded anything.
  bool iterate() {
    auto phase = timer_.iteration();
    iteration_threads_ = team_.threads();
    popBatch();
    if (popped_.empty()) return false;
    startExpansion();
    for (std::size_t begin = 0; begin < popped_.size(); begin += kChunkNodes) {
      const std::size_t end = std::min(popped_.size(), begin + kChunkNodes);
      expandChunk(begin, end);
      buildSuccessors(begin, end);
      testSuccessorGoals();
      filterThroughClosed();
      writeAcceptedInputs();
      releaseChunk();
    }
    evaluateAccepted();
    assignCosts();
    pushAccepted();
    return true;
  }

  // The iteration's operation timings and, with print_internals, its lines.
  void report(bool expanded) {
    totals_.iteration(timer_.seconds(), {expanded, iteration_successors_ > 0, !accepted_.empty()});
    if (expanded && settings_.print_internals) {
      printIterationReport({iteration_, &accepted_heuristics_, &accepted_depths_, iterationTimes(timer_.seconds())});
    }
  }

  // Pops up to `batch` nodes, goal-testing each; under "stop_before_goal" the
  // first goal and everything popped after it are cut from the batch.
  void popBatch() {
    auto phase = timer_.phase(Phase::PopFromOpen);
    popped_.clear();
    const std::size_t n = std::min(batch_, open_.size());
    for (std::size_t i = 0; i < n; ++i) popped_.push_back(store_.node(open_.pop()));
    testPoppedGoals();
    goal_popped_ = false;
    std::size_t first_goal = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (!popped_goal_[i]) continue;
      if (!goal_popped_) first_goal = i;
      goal_popped_ = true;
      Node* node = popped_[i];
      if (best_goal_ == nullptr || open_.key(node->id) < open_.key(best_goal_->id)) best_goal_ = node;
    }
    if (stop_before_goal_ && goal_popped_) popped_.resize(first_goal);
  }

  // OpenMP region 0: the popped nodes' goal tests.
  void testPoppedGoals() {
    auto phase = timer_.hostPhase(Phase::PopGoalTest);
    const std::int64_t n = static_cast<std::int64_t>(popped_.size());
    popped_goal_.resize(popped_.size());
    ParallelErrors errors;
    const int threads = regionThreads(n, kMinParallelEnvironmentCalls);
#pragma omp parallel for num_threads(threads) if (threads > 1) schedule(dynamic, kEnvironmentBlock)
    for (std::int64_t i = 0; i < n; ++i) {
      try {
        popped_goal_[i] = popped_[i]->env->is_solved() ? 1 : 0;
      } catch (...) {
        errors.capture();
      }
    }
    errors.rethrowFirst();
  }

  // Threads for a region over `items` items in this iteration.
  int regionThreads(std::int64_t items, std::int64_t min_items) const {
    return items >= min_items ? iteration_threads_ : 1;
  }

  // The children's depths, taken before any chunk's filter may lower a
  // popped node's own depth in place, and the iteration's empty totals.
  void startExpansion() {
    child_depth_.resize(popped_.size());
    for (std::size_t i = 0; i < popped_.size(); ++i) child_depth_[i] = popped_[i]->depth + 1;
    iteration_successors_ = 0;
    accepted_.clear();
    accepted_goal_.clear();
  }

  // OpenMP region 1: expands popped nodes [begin, end).
  void expandChunk(std::size_t begin, std::size_t end) {
    auto phase = timer_.phase(Phase::Expand);
    const std::int64_t n = static_cast<std::int64_t>(end - begin);
    children_.resize(end - begin);
    ParallelErrors errors;
    const int threads = regionThreads(n, kMinParallelEnvironmentCalls);
#pragma omp parallel for num_threads(threads) if (threads > 1) schedule(dynamic, kEnvironmentBlock)
    for (std::int64_t i = 0; i < n; ++i) {
      try {
        // A popped node and its environment have usually left the cache since
        // the pop: ask for the node first, then for its environment.
        if (i + 8 < n) __builtin_prefetch(popped_[begin + i + 8]);
        if (i + 4 < n) __builtin_prefetch(popped_[begin + i + 4]->env.get());
        children_[i] = popped_[begin + i]->env->expand();
      } catch (...) {
        errors.capture();
      }
    }
    errors.rethrowFirst();
  }

  // Lays the successors out flat, in successor order, with a copy of each
  // one's state bytes (plugins expect state() on the solving thread, and may
  // reuse what it returned). They become nodes only when CLOSED accepts
  // them; most are duplicates and die with the chunk.
  void buildSuccessors(std::size_t begin, std::size_t end) {
    auto phase = timer_.hostPhase(Phase::ExpandMisc);
    successor_envs_.clear();
    successor_popped_.clear();
    successor_move_.clear();
    successor_key_end_.clear();
    successor_keys_.clear();
    for (std::size_t i = begin; i < end; ++i) {
      std::vector<std::unique_ptr<Environment>>& children = children_[i - begin];
      for (std::size_t l = 0; l < children.size(); ++l) {
        if (children[l] == nullptr) throw std::runtime_error(kNullSuccessorMessage);
        const StateBytes state(children[l]->state());
        successor_keys_.insert(successor_keys_.end(), state.data(), state.data() + state.size());
        successor_key_end_.push_back(successor_keys_.size());
        successor_envs_.push_back(std::move(children[l]));
        successor_popped_.push_back(static_cast<std::uint32_t>(i));
        successor_move_.push_back(static_cast<std::int32_t>(l));
      }
      children.clear();
    }
    const std::size_t w = successor_envs_.size();
    iteration_successors_ += w;
    successor_state_.resize(w);
    for (std::size_t j = 0; j < w; ++j) {
      const std::size_t begin = j == 0 ? 0 : successor_key_end_[j - 1];
      successor_state_[j] =
          StateBytes(successor_keys_.data() + begin, static_cast<std::uint32_t>(successor_key_end_[j] - begin));
    }
  }

  // OpenMP region 2. The workers also hash the successors' states for the
  // CLOSED lookups that follow.
  void testSuccessorGoals() {
    auto phase = timer_.phase(Phase::IsSolved);
    const std::int64_t w = static_cast<std::int64_t>(successor_envs_.size());
    successor_goal_.assign(successor_envs_.size(), 0);
    successor_hash_.resize(successor_envs_.size());
    ParallelErrors errors;
    const int threads = regionThreads(w, kMinParallelEnvironmentCalls);
#pragma omp parallel for num_threads(threads) if (threads > 1) schedule(dynamic, kEnvironmentBlock)
    for (std::int64_t j = 0; j < w; ++j) {
      try {
        const Environment* successor = successor_envs_[j].get();
        successor_goal_[j] = successor->is_solved() ? 1 : 0;
        successor_hash_[j] = stateHash(successor_state_[j].data(), successor_state_[j].size());
      } catch (...) {
        errors.capture();
      }
    }
    errors.rethrowFirst();
  }

  // Acceptance follows successor order, so it is decided sequentially. The
  // lookups, which miss the cache, run in parallel first against the table
  // as the chunk found it; an insert since then rarely touches a lookup's
  // slot, and a lookup whose slot it did touch, or any lookup after the
  // table grew, is repeated. A duplicate is accepted only when strictly
  // shallower than the node CLOSED holds.
  void filterThroughClosed() {
    auto phase = timer_.phase(Phase::ClosedFilter);
    locateSuccessors();
    const std::size_t w = successor_envs_.size();
    constexpr std::size_t kAhead = 8;
    for (std::size_t j = 0; j < w; ++j) {
      if (j + kAhead < w) closed_.prefetchPosition(successor_position_[j + kAhead]);
      const std::uint32_t parent_index = successor_popped_[j];
      const std::int32_t depth = child_depth_[parent_index];
      auto position = successor_position_[j];
      if (!closed_.stillHolds(position)) position = closed_.locate(successor_state_[j], successor_hash_[j]);
      Node* existing = position.match;
      if (existing == nullptr || (new_slot_ && depth < existing->depth)) {
        Node* stored = store_.add(std::move(successor_envs_[j]), successor_state_[j], depth, successor_move_[j],
                                  popped_[parent_index]);
        closed_.insertAt(position, stored);
        accept(stored, j, stored->env.get());
      } else if (!new_slot_ && depth < existing->depth) {
        existing->depth = depth;
        existing->move = successor_move_[j];
        existing->parent = popped_[parent_index];
        accept(existing, j, successor_envs_[j].get());
      }
    }
  }

  // OpenMP region 3: every successor's CLOSED position, read-only.
  void locateSuccessors() {
    // Lookups are independent cache misses into a large table; see the
    // ClosedTable prefetch functions for the stages.
    constexpr std::int64_t kSlotAhead = 32;
    constexpr std::int64_t kNodeAhead = 16;
    constexpr std::int64_t kKeyAhead = 8;
    const std::int64_t w = static_cast<std::int64_t>(successor_envs_.size());
    successor_position_.resize(successor_envs_.size());
    const int threads = regionThreads(w, kMinParallelLookups);
#pragma omp parallel num_threads(threads) if (threads > 1)
    {
      const int team = omp_get_num_threads();
      const int member = omp_get_thread_num();
      const std::int64_t begin = w * member / team;
      const std::int64_t end = w * (member + 1) / team;
      for (std::int64_t j = begin; j < std::min(begin + kSlotAhead, end); ++j) closed_.prefetchSlot(successor_hash_[j]);
      for (std::int64_t j = begin; j < end; ++j) {
        if (j + kSlotAhead < end) closed_.prefetchSlot(successor_hash_[j + kSlotAhead]);
        if (j + kNodeAhead < end) closed_.prefetchNode(successor_hash_[j + kNodeAhead]);
        if (j + kKeyAhead < end) {
          closed_.prefetchKey(successor_hash_[j + kKeyAhead]);
          __builtin_prefetch(successor_state_[j + kKeyAhead].data());
        }
        successor_position_[j] = closed_.locate(successor_state_[j], successor_hash_[j]);
      }
    }
  }

  // `env` is the successor's environment, which the network evaluates: the
  // node's own for a new node, the duplicate's (alive until the chunk ends)
  // for an in-place update.
  void accept(Node* node, std::size_t successor_index, const Environment* env) {
    accepted_.push_back(node);
    accepted_goal_.push_back(successor_goal_[successor_index]);
    chunk_envs_.push_back(env);
  }

  // The network rows of the chunk's accepted successors, after those of the
  // chunks before it.
  void writeAcceptedInputs() {
    if (chunk_envs_.empty()) return;
    auto phase = timer_.phase(Phase::Heuristic);
    writeNetworkInputs(chunk_envs_, accepted_.size() - chunk_envs_.size());
    chunk_envs_.clear();
  }

  // One network call for every accepted row.
  void evaluateAccepted() {
    accepted_heuristics_.clear();
    if (accepted_.empty()) return;
    auto phase = timer_.phase(Phase::Heuristic);
    auto infer = timer_.phase(Phase::HeuristicInfer);
    accepted_heuristics_ = runner_.infer(networkRows(accepted_.size()), accepted_.size());
  }

  // The first `rows` rows of each input buffer.
  const std::vector<std::span<const float>>& networkRows(std::size_t rows) {
    net_rows_.clear();
    for (std::size_t q = 0; q < net_inputs_.size(); ++q)
      net_rows_.emplace_back(net_inputs_[q].data(), rows * input_widths_[q]);
    return net_rows_;
  }

  // Writes rows first_row, first_row + 1, ... of net_inputs_, one per
  // environment, and ends the inputs there: input q of a row holds the
  // segment of that environment's write_inputs() that belongs to input q.
  // Each environment writes into the reused input buffer, which stays in
  // cache, and the rows are streamed out from there.
  void writeNetworkInputs(const std::vector<const Environment*>& envs, std::size_t first_row) {
    auto phase = timer_.phase(Phase::WriteInputs);
    const std::size_t rows = envs.size();
    // write_inputs() writes input_size() floats into a buffer sized for the
    // manifest: a plugin whose size changes would write past it.
    for (const Environment* env : envs) {
      if (env->input_size() != input_buffer_.size()) throw std::runtime_error(kSuccessorInputSizeMessage);
    }
    // Buffers only grow: shrinking and growing back each iteration would
    // zero every row but the first chunk's before it is written.
    for (std::size_t q = 0; q < net_inputs_.size(); ++q) {
      const std::size_t needed = (first_row + rows) * input_widths_[q];
      net_inputs_[q].reserve(needed);
    }
    for (std::size_t k = 0; k < rows; ++k) {
      envs[k]->write_inputs(input_buffer_.data());
      const float* segment = input_buffer_.data();
      for (std::size_t q = 0; q < net_inputs_.size(); ++q) {
        streamingCopy(net_inputs_[q].data() + (first_row + k) * input_widths_[q], segment, input_widths_[q]);
        segment += input_widths_[q];
      }
    }
    finishStreamingCopies();
  }

  // OpenMP region 4, then the assignment on the solving thread.
  void assignCosts() {
    auto phase = timer_.phase(Phase::Cost);
    const std::size_t m = accepted_.size();
    const std::int64_t rows = static_cast<std::int64_t>(m);
    open_costs_.resize(m);
    accepted_depths_.resize(m);
    const PathCost weight = static_cast<PathCost>(settings_.weight);
    const int threads = regionThreads(rows, kMinParallelCostRows);
#pragma omp parallel for num_threads(threads) if (threads > 1)
    for (std::int64_t k = 0; k < rows; ++k) {
      const std::int32_t depth = accepted_[k]->depth;
      const float h = accepted_goal_[k] ? 0.0f : accepted_heuristics_[k];
      const TotalCost g_part = static_cast<TotalCost>(weight * static_cast<PathCost>(depth));
      open_costs_[k] = static_cast<OpenCost>(g_part + static_cast<TotalCost>(h));
      accepted_depths_[k] = depth;
    }
    for (std::size_t k = 0; k < m; ++k) {
      Node* node = accepted_[k];
      open_.setKey(node->id, open_costs_[k]);
      node->closed_cost = static_cast<ClosedCost>(node->depth);
      node->heuristic = static_cast<Heuristic>(accepted_heuristics_[k]);
    }
  }

  void pushAccepted() {
    auto phase = timer_.phase(Phase::AddToOpen);
    for (Node* node : accepted_) open_.push(node->id);
  }

  // Successors that CLOSED rejected die with their environments here, and
  // so do the duplicates' that updated a node in place, their rows written.
  void releaseChunk() { successor_envs_.clear(); }

  // ---- Result.

  SolveResult finish(SearchOutcome outcome) {
    SearchEnd end;
    end.solved = best_goal_ != nullptr;
    if (end.solved) end.moves = reconstructPath<Costs>(best_goal_, options_.move_source);
    end.nodes_generated = nodes_generated_;
    end.budget_exceeded = outcome == SearchOutcome::BudgetExceeded;
    const TimePoint finished = now();
    SolveResult result = searchResult(std::move(end), totals_, settings_.operation_breakdown, t0_, finished);
    if (settings_.verbose) printFinalReport(outcome, result.moves, nodes_generated_, result.solve_time);
    timer_.finishProfile(t0_, finished);
    return result;
  }

  const SolverSettings& settings_;
  const SearchOptions options_;
  const std::size_t batch_;
  AOTIHeuristicRunner runner_;
  Profiler profiler_;
  PhaseTimer timer_;
  OperationTotals totals_;
  const InitialCapacities capacities_;
  const bool fixed_;
  OpenQueue<OpenCost> open_;
  ClosedTable<Costs> closed_;
  NodeStore<Costs> store_;
  const bool new_slot_;
  const bool stop_before_goal_;

  TeamSizer team_;
  int iteration_threads_ = 1;  // the team size of this iteration's regions

  std::vector<float> input_buffer_;
  // Per input, at least as long as the rows written. Large batches write
  // and read tens of megabytes of rows per iteration: the buffers' huge
  // pages spare those passes most of their TLB misses.
  std::vector<FloatBuffer> net_inputs_;
  std::vector<std::span<const float>> net_rows_;
  std::vector<std::size_t> input_widths_;

  InterruptPoller interrupts_;
  TimePoint t0_{};
  Node* best_goal_ = nullptr;
  bool goal_popped_ = false;
  std::uint64_t nodes_generated_ = 0;
  std::uint64_t iteration_ = 0;

  // Per-iteration buffers, reused across iterations.
  std::vector<Node*> popped_;
  std::vector<char> popped_goal_;
  std::vector<std::vector<std::unique_ptr<Environment>>> children_;  // of the chunk's popped nodes
  std::vector<std::int32_t> child_depth_;                            // of every popped node's children
  // Successor j of the chunk: its environment (owned until the store takes it), the
  // index in popped_ of its parent, its move number, its state bytes (a view
  // into successor_keys_), and from the goal test on, its goal flag and the
  // hash of its bytes.
  std::vector<std::unique_ptr<Environment>> successor_envs_;
  std::vector<std::uint32_t> successor_popped_;
  std::vector<std::int32_t> successor_move_;
  std::vector<char> successor_goal_;
  std::vector<std::uint8_t> successor_keys_;    // every successor's bytes, back to back
  std::vector<std::size_t> successor_key_end_;  // where successor j's bytes end in successor_keys_
  std::vector<StateBytes> successor_state_;
  std::vector<std::uint64_t> successor_hash_;
  std::vector<typename ClosedTable<Costs>::Position> successor_position_;  // in CLOSED as the chunk began
  std::size_t iteration_successors_ = 0;                                   // successors generated so far this iteration
  // Accepted successors of the iteration, row for row: the node, whether it
  // is a goal; and the environments of the current chunk's rows, until their
  // network rows are written.
  std::vector<Node*> accepted_;
  std::vector<char> accepted_goal_;
  std::vector<const Environment*> chunk_envs_;
  std::vector<float> accepted_heuristics_;
  std::vector<std::int32_t> accepted_depths_;
  std::vector<OpenCost> open_costs_;
};

template <typename Costs>
SolveResult runTypedSearch(std::unique_ptr<Environment> start, const AOTIManifest& manifest,
                           const SolverSettings& settings) {
  // No autograd bookkeeping for any network evaluation of the solve.
  c10::InferenceMode inference_mode;

  const SearchOptions options = validateSearchOptions(settings);
  const std::uint64_t input_width = totalInputElements(manifest);
  if (input_width == 0) throw std::runtime_error(kZeroInputFootprintMessage);
  // The sum wraps around, so inputs of absurd sizes could add up to the
  // environment's width; each buffer is sized by its own input.
  std::uint64_t unwrapped = 0;
  for (const AOTIInputSpec& input : manifest.inputs) {
    if (__builtin_add_overflow(unwrapped, input.numel_per_example, &unwrapped)) {
      throw std::runtime_error(kInputSizeMismatchMessage);
    }
  }
  if (start->input_size() != input_width) throw std::runtime_error(kInputSizeMismatchMessage);

  TypedSearch<Costs> search(manifest, settings, options, static_cast<std::size_t>(input_width));
  return search.run(std::move(start));
}

}  // namespace kestrel
