#include "kestrel/torchgpu/search.h"

#include <ATen/ATen.h>
#include <torch/csrc/inductor/aoti_package/model_package_loader.h>
#include <torch/cuda.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <vector>

#include "kestrel/heuristic/tensor_inference.h"
#include "kestrel/profiling/phase_clock.h"
#include "kestrel/solve/interrupt.h"
#include "kestrel/solve/iteration_report.h"
#include "kestrel/torchgpu/open_queue.h"
#include "kestrel/torchgpu/solution_path.h"

namespace kestrel {
namespace {

// Storage types narrower than the values they receive would wrap them and
// make the search quietly wrong; such values are refused. Free when the
// values already have the storage type, as with the default settings.
void requireExact(const at::Tensor& values, c10::ScalarType type, const char* setting) {
  if (values.scalar_type() == type || values.numel() == 0) return;
  if (!values.to(type).to(values.scalar_type()).equal(values)) {
    throw std::runtime_error(std::string(setting) +
                             " cannot hold the values of this puzzle's states; choose a wider "
                             "storage type");
  }
}

// Path costs (whole numbers for every puzzle) kept in a bounded storage type
// must stay exact there, and below the type's largest value, which CLOSED
// keeps for states it has not seen: a wrapped or rounded cost would silently
// corrupt the search. `wide` holds the costs in float64.
void requireExactCosts(const at::Tensor& wide, c10::ScalarType type, const char* setting) {
  const StorableRange range = storableRange(type);
  if (!range.bounded() || wide.numel() == 0) return;
  const double highest = wide.max().item<double>();
  if (!wide.to(type).to(at::kDouble).equal(wide) || highest >= range.highest) {
    throw std::runtime_error(std::string(setting) + " cannot hold the path costs this search reaches (up to " +
                             std::to_string(static_cast<long long>(highest)) + "); choose a wider storage type");
  }
}

// Heuristics and priorities may lose their fraction in an integer storage
// type, but must never wrap or overflow it.
void requireCostsInRange(const at::Tensor& wide, c10::ScalarType type, const char* setting) {
  const StorableRange range = storableRange(type);
  if (!range.bounded() || wide.numel() == 0) return;
  const at::Tensor extremes = at::stack({wide.min(), wide.max()}).to(at::kCPU, at::kDouble);
  const double lowest = extremes[0].item<double>(), highest = extremes[1].item<double>();
  if (lowest < range.lowest || highest > range.highest) {
    throw std::runtime_error(std::string(setting) + " cannot hold the values this search reaches (" +
                             std::to_string(lowest) + " to " + std::to_string(highest) +
                             "); choose a wider storage type");
  }
}

// The per-operation totals of the result, fed region by region.
class TorchStatistics {
 public:
  explicit TorchStatistics(bool enabled) : enabled_(enabled) {}

  void add(Operation op, double core, double misc, bool counted = true) {
    if (!enabled_) return;
    OperationTiming& timing = timingOf(timings_, op);
    timing.core_seconds += core;
    timing.misc_seconds += misc;
    timing.total_seconds += core + misc;
    if (counted) timing.call_count += 1;
  }
  const OperationTimings& timings() const { return timings_; }

 private:
  bool enabled_;
  OperationTimings timings_{};
};

// The children of one expansion, or the kept part of them, row for row.
struct Children {
  at::Tensor states, depth, path_cost, parent_index, parent_move, solved, entries;

  Children select(const at::Tensor& rows) const {
    return {states.index_select(0, rows),
            depth.index_select(0, rows),
            path_cost.index_select(0, rows),
            parent_index.index_select(0, rows),
            parent_move.index_select(0, rows),
            solved.index_select(0, rows),
            entries.defined() ? entries.index_select(0, rows) : entries};
  }
  std::int64_t rows() const { return states.size(0); }
};

class TorchSearch {
 public:
  TorchSearch(const TorchSearchSetup& setup)
      : s_(setup),
        env_(setup.environment),
        timing_enabled_(setup.config.print_internals || setup.config.operation_breakdown || setup.profiler.enabled()),
        clock_(
            timing_enabled_, setup.config.operation_breakdown, setup.config.cuda_sync_timing,
            [device = setup.device] {
              if (device.is_cuda()) torch::cuda::synchronize(device.index());
            },
            setup.profiler),
        stats_(setup.config.operation_breakdown),
        in_place_(setup.options.duplicates == DuplicateMode::InPlace),
        check_path_costs_(storableRange(setup.types.path_cost).bounded() ||
                          storableRange(setup.types.closed_cost).bounded()),
        check_heuristics_(storableRange(setup.types.heuristic).bounded()),
        check_total_costs_(storableRange(setup.types.total_cost).bounded() ||
                           storableRange(setup.types.open_cost).bounded()),
        long_(at::TensorOptions().dtype(at::kLong).device(setup.device)) {}

  SolveResult run(const at::Tensor& start_row) {
    evaluateRoot(start_row);
    const bool budget_exceeded = loop();

    SolveResult result;
    result.nodes_generated = nodes_generated_;
    result.solved = goal_node_ >= 0;
    result.search_budget_exceeded = budget_exceeded;
    if (result.solved) result.moves = reconstructMoves(s_.store, env_, goal_node_, s_.options.move_source);
    const TimePoint end = now();
    result.solve_time = static_cast<double>((end - s_.start_time).count()) / 1e9;
    if (s_.config.operation_breakdown) {
      result.operation_timings = stats_.timings();
      result.has_operation_timings = true;
    }
    s_.profiler.record("torchgpu.total", s_.start_time, end);
    s_.profiler.finalize();
    return result;
  }

 private:
  // f = g * w + h * (not s), one operation at a time in the total-cost dtype:
  // a fused multiply-add would round once and change which node is popped.
  at::Tensor totalCost(const at::Tensor& path_cost, const at::Tensor& heuristic, const at::Tensor& solved) const {
    const c10::ScalarType t = s_.types.total_cost;
    if (check_total_costs_) {
      const at::Tensor wide = path_cost.to(at::kDouble)
                                  .mul(static_cast<double>(s_.config.weight))
                                  .add(heuristic.to(at::kDouble).mul(solved.logical_not().to(at::kDouble)));
      requireCostsInRange(wide, t, "memory_dtype_total_cost");
      requireCostsInRange(wide, s_.types.open_cost, "memory_dtype_open_cost");
    }
    const at::Tensor g_part = path_cost.to(t).mul(static_cast<double>(s_.config.weight)).to(t);
    const at::Tensor h_part = heuristic.to(t).mul(solved.logical_not().to(t)).to(t);
    return g_part.add(h_part).to(t);
  }

  // The heuristic of `states`, in chunks of at most nnet_batch rows.
  at::Tensor evaluate(const at::Tensor& states, double& infer_seconds) {
    const std::int64_t rows = states.size(0);
    std::vector<at::Tensor> outputs;
    for (std::int64_t begin = 0; begin < rows; begin += s_.sizes.nnet_batch) {
      const at::Tensor chunk = states.slice(0, begin, std::min(begin + s_.sizes.nnet_batch, rows));
      const TimePoint inputs_start = clock_.start();
      const std::vector<at::Tensor> inputs = env_.networkInputs(chunk);
      clock_.stop("torchgpu.write_inputs", inputs_start);
      const TimePoint infer_start = clock_.start();
      at::Tensor h = inferHeuristicTensors(s_.loader, inputs);
      infer_seconds += clock_.stop("torchgpu.heuristic_infer", infer_start);
      if (h.numel() != chunk.size(0)) throw std::runtime_error(kHeuristicRowsMessage);
      outputs.push_back(h.reshape({-1}));
    }
    const at::Tensor heuristic = at::cat(outputs);
    if (check_heuristics_) requireCostsInRange(heuristic.to(at::kDouble), s_.types.heuristic, "memory_dtype_heuristic");
    return heuristic.to(s_.types.heuristic);
  }

  void evaluateRoot(const at::Tensor& start) {
    requireExact(start, s_.types.node_state, "memory_dtype_node_state");
    requireExact(start.to(s_.types.node_state), s_.types.closed_key, "memory_dtype_closed_key");
    const TimePoint goal_start = clock_.start();
    const at::Tensor solved = env_.isSolved(start).reshape({-1});
    stats_.add(Operation::IsSolved, clock_.stop("torchgpu.is_solved", goal_start), 0);

    const at::Tensor g0 = at::zeros({1}, at::TensorOptions().dtype(s_.types.path_cost).device(s_.device));
    const TimePoint heuristic_start = clock_.start();
    const TimePoint inputs_start = clock_.start();
    const std::vector<at::Tensor> inputs = env_.networkInputs(start);
    clock_.stop("torchgpu.write_inputs", inputs_start);
    if (inputs.size() != s_.manifest.inputs.size()) {
      throw std::runtime_error("AOTI manifest input count mismatch for environment '" + s_.environment_name + "'");
    }
    std::uint64_t input_width = 0;
    for (const at::Tensor& input : inputs) input_width += static_cast<std::uint64_t>(input.numel());
    if (input_width != totalInputElements(s_.manifest)) {
      throw std::runtime_error(
          inputSizeMismatchMessage(s_.environment_name, input_width, s_.manifest, totalInputElements(s_.manifest)));
    }
    const TimePoint infer_start = clock_.start();
    const at::Tensor h0_raw = inferHeuristicTensors(s_.loader, inputs).reshape({-1});
    if (check_heuristics_) requireCostsInRange(h0_raw.to(at::kDouble), s_.types.heuristic, "memory_dtype_heuristic");
    const at::Tensor h0 = h0_raw.to(s_.types.heuristic);
    const double infer_seconds = clock_.stop("torchgpu.heuristic_infer", infer_start);
    const double heuristic_seconds = clock_.stop("torchgpu.heuristic", heuristic_start);
    stats_.add(Operation::Heuristic, infer_seconds, std::max(heuristic_seconds - infer_seconds, 0.0));
    if (h0.numel() != 1) throw std::runtime_error(kHeuristicRowsMessage);
    const at::Tensor f0 = totalCost(g0, h0, solved);

    const at::Tensor start_ids = s_.store.append(
        {start, at::zeros({1}, long_), g0, h0, f0, solved, at::full({1}, -1, long_), at::full({1}, -1, long_)});

    const at::Tensor keys = s_.closed.normalizeKeys(start);
    s_.closed.reserve(s_.closed.usedSlots() + 1);
    const at::Tensor hashes = s_.closed.hashKeys(keys);
    s_.closed.insert(keys, g0.to(s_.device, s_.types.closed_cost), hashes, s_.closed.lookup(keys, hashes));

    const bool fixed = s_.options.capacity == CapacityMode::Fixed;
    if (in_place_) node_of_entry_.emplace(s_.sizes.closed_capacity, 0, s_.device, fixed);
    open_.emplace(start_ids, f0, s_.types.open_index, s_.types.open_cost, s_.device, s_.sizes.open_capacity, fixed);
  }

  // Returns whether the search stopped at the budget.
  bool loop() {
    for (std::uint64_t iteration = 0;; ++iteration) {
      interrupts_.poll();
      if (open_->empty()) return false;
      if (iterate(iteration)) return false;  // a goal was popped
      if (s_.config.search_budget > 0 && nodes_generated_ >= static_cast<std::uint64_t>(s_.config.search_budget)) {
        return true;
      }
    }
  }

  // One iteration: pop, expand, goal-test the children, filter them through
  // CLOSED, evaluate and store the kept ones, push them. Returns whether it
  // popped a goal.
  bool iterate(std::uint64_t iteration) {
    const TimePoint iteration_start = clock_.start();
    IterationTimes times;
    const Popped popped = popBatch(times);
    if (popped.expand_ids.size(0) > 0) {
      Children children = expandBatch(popped.expand_ids, times);
      children.solved = testGoals(children, times);
      const Children kept = filterThroughClosed(children, times);
      const Stored stored = evaluateAndStore(kept, times);
      pushToOpen(stored, times);
      times.iteration = clock_.stop("torchgpu.iteration", iteration_start);
      stats_.add(Operation::Iteration, times.iteration, 0);
      if (s_.config.print_internals) {
        if (kept.rows() > 0) printBatch(iteration, stored.heuristic, kept.path_cost);
        printIterationTimes(times);
      }
    } else {  // only a goal, or nothing before it, was popped
      stats_.add(Operation::Pop, times.pop, 0);
      stats_.add(Operation::Iteration, clock_.stop("torchgpu.iteration", iteration_start), 0);
    }
    return popped.goal;
  }

  struct Popped {
    at::Tensor expand_ids;  // the nodes to expand
    bool goal = false;      // whether a goal was popped (recorded in goal_node_)
  };

  // Pops up to `batch` nodes; under "stop_before_goal" the first goal and
  // everything popped after it are not expanded.
  Popped popBatch(IterationTimes& times) {
    const TimePoint pop_start = clock_.start();
    const TorchOpenQueue::Popped popped = open_->pop(s_.sizes.batch);
    Popped result{popped.nodes};
    const at::Tensor goals = s_.store.solved().index_select(0, popped.nodes);
    if (goals.any().item<bool>()) {
      const std::int64_t first = goals.nonzero()[0][0].item<std::int64_t>();
      goal_node_ = popped.nodes[first].item<std::int64_t>();
      result.goal = true;
      if (s_.options.goal_stop == GoalStopMode::StopBeforeGoal) result.expand_ids = popped.nodes.slice(0, 0, first);
    }
    times.pop = clock_.stop("torchgpu.pop_from_open", pop_start);
    return result;
  }

  // The children of the popped nodes, n x M in parent-major order.
  Children expandBatch(const at::Tensor& expand_ids, IterationTimes& times) {
    const TimePoint gather_start = clock_.start();
    const at::Tensor parent_states = s_.store.states().index_select(0, expand_ids);
    const at::Tensor parent_cost = s_.store.pathCost().index_select(0, expand_ids);
    const at::Tensor parent_depth = s_.store.depth().index_select(0, expand_ids);
    stats_.add(Operation::Pop, times.pop, clock_.stop("torchgpu.pop_misc", gather_start));

    const TimePoint expand_start = clock_.start();
    const auto [child_states, step_costs] = env_.expand(parent_states);
    times.expand = clock_.stop("torchgpu.expand", expand_start);
    const TimePoint children_start = clock_.start();
    Children children = makeChildren(expand_ids, parent_cost, parent_depth, child_states, step_costs);
    stats_.add(Operation::Expand, times.expand, clock_.stop("torchgpu.expand_misc", children_start));
    return children;
  }

  at::Tensor testGoals(const Children& children, IterationTimes& times) {
    const TimePoint goals_start = clock_.start();
    at::Tensor solved = env_.isSolved(children.states).reshape({-1}).to(at::kBool);
    times.is_solved = clock_.stop("torchgpu.is_solved", goals_start);
    stats_.add(Operation::IsSolved, times.is_solved, 0);
    nodes_generated_ += static_cast<std::uint64_t>(children.rows());
    return solved;
  }

  // The children CLOSED accepts; under "in_place" only the cheapest child of
  // each state.
  Children filterThroughClosed(Children children, IterationTimes& times) {
    const TimePoint filter_start = clock_.start();
    at::Tensor accept;
    if (children.rows() == 0) {
      accept = at::zeros({0}, long_.dtype(at::kBool));
    } else {
      TorchClosedTable::Filtered filtered = s_.closed.filter(children.states, children.path_cost);
      accept = filtered.accept;
      if (in_place_) children.entries = filtered.entries;
    }
    times.check = clock_.stop("torchgpu.closed_filter", filter_start);

    const TimePoint select_start = clock_.start();
    Children kept = children.select(accept.nonzero().reshape({-1}));
    if (in_place_ && kept.rows() > 1) kept = kept.select(cheapestPerEntry(kept.entries, kept.path_cost));
    stats_.add(Operation::Check, times.check, clock_.stop("torchgpu.check_misc", select_start));
    return kept;
  }

  struct Stored {
    at::Tensor heuristic;  // of the kept children
    at::Tensor total;      // their priorities f
    at::Tensor ids;        // their node indices
    at::Tensor updated;    // nodes overwritten in place, to leave OPEN
  };

  // Evaluates the kept children in network batches, computes their
  // priorities and stores them as nodes.
  Stored evaluateAndStore(const Children& kept, IterationTimes& times) {
    Stored stored;
    double heuristic_seconds = 0;
    stored.heuristic = at::empty({0}, long_.dtype(s_.types.heuristic));
    if (kept.rows() > 0) {
      const TimePoint heuristic_start = clock_.start();
      stored.heuristic = evaluate(kept.states, times.heuristic);
      heuristic_seconds = clock_.stop("torchgpu.heuristic", heuristic_start);
    }

    const TimePoint cost_start = clock_.start();
    stored.total = totalCost(kept.path_cost, stored.heuristic, kept.solved);
    const double cost_seconds = clock_.stop("torchgpu.cost", cost_start);

    const TimePoint persist_start = clock_.start();
    stored.ids = persist(kept, stored.heuristic, stored.total, stored.updated);
    const double persist_seconds = clock_.stop("torchgpu.persist_children", persist_start);
    stats_.add(Operation::Heuristic, times.heuristic,
               std::max(heuristic_seconds - times.heuristic, 0.0) + cost_seconds + persist_seconds, kept.rows() > 0);
    return stored;
  }

  void pushToOpen(const Stored& stored, IterationTimes& times) {
    if (s_.store.size() - 1 > largestExactIndex(s_.types.open_index, false)) {  // every node index < size()
      throw std::runtime_error(
          "memory_dtype_open_index cannot hold the node indices of this search; choose a wider "
          "storage type");
    }
    const TimePoint push_start = clock_.start();
    if (stored.updated.defined() && stored.updated.numel() > 0 && !open_->empty()) {
      open_->removeNodes(stored.updated, s_.store.size());
    }
    open_->append(stored.ids, stored.total);
    times.push = clock_.stop("torchgpu.add_to_open", push_start);
    stats_.add(Operation::Push, times.push, 0);
  }

  // n x M children in parent-major order, in the storage types.
  Children makeChildren(const at::Tensor& parents, const at::Tensor& parent_cost, const at::Tensor& parent_depth,
                        const at::Tensor& child_states, const at::Tensor& step_costs) const {
    const std::int64_t n = parents.size(0);
    const std::int64_t m = env_.num_moves;
    Children children;
    requireExact(child_states, s_.types.node_state, "memory_dtype_node_state");
    children.states = child_states.view({n * m, -1}).to(s_.types.node_state);
    requireExact(children.states, s_.types.closed_key, "memory_dtype_closed_key");
    children.path_cost =
        parent_cost.view({n, 1}).add(step_costs.view({n, m}).to(s_.types.path_cost)).flatten().to(s_.types.path_cost);
    if (check_path_costs_) {
      const at::Tensor wide = parent_cost.to(at::kDouble).view({n, 1}).add(step_costs.view({n, m}).to(at::kDouble));
      requireExactCosts(wide.flatten(), s_.types.path_cost, "memory_dtype_path_cost");
      requireExactCosts(wide.flatten(), s_.types.closed_cost, "memory_dtype_closed_cost");
    }
    children.depth = parent_depth.repeat_interleave(m).add(1);
    children.parent_index = parents.repeat_interleave(m).to(s_.types.parent_index);
    children.parent_move = at::arange(m, long_).repeat({n}).to(s_.types.parent_move);
    return children;
  }

  // Stores the kept children and returns the node index of each, in batch
  // order. In "in_place" mode a child whose state already has a node
  // overwrites that node (its index goes to `updated`); the others are new.
  at::Tensor persist(const Children& kept, const at::Tensor& heuristic, const at::Tensor& total, at::Tensor& updated) {
    const auto rowsOf = [&](const Children& c, const at::Tensor& h, const at::Tensor& f) {
      return NodeRows{c.states, c.depth, c.path_cost, h, f, c.solved, c.parent_index, c.parent_move};
    };
    if (!in_place_ || kept.rows() == 0) return s_.store.append(rowsOf(kept, heuristic, total));

    const at::Tensor with_entry = kept.entries.ge(0);
    at::Tensor mapped = at::full({kept.rows()}, -1, long_);
    if (with_entry.any().item<bool>()) {
      node_of_entry_->ensureLength(kept.entries.max().item<std::int64_t>() + 1);
      mapped.masked_scatter_(with_entry,
                             node_of_entry_->values().index_select(0, kept.entries.masked_select(with_entry)));
    }
    const at::Tensor existing = mapped.ge(0);
    const at::Tensor old_rows = existing.nonzero().reshape({-1});
    const at::Tensor new_rows = existing.logical_not().nonzero().reshape({-1});

    at::Tensor ids = at::empty({kept.rows()}, long_);
    if (old_rows.numel() > 0) {
      updated = mapped.index_select(0, old_rows);
      s_.store.overwrite(
          updated, rowsOf(kept.select(old_rows), heuristic.index_select(0, old_rows), total.index_select(0, old_rows)));
      ids.index_copy_(0, old_rows, updated);
    }
    if (new_rows.numel() > 0) {
      const Children fresh = kept.select(new_rows);
      const at::Tensor new_ids =
          s_.store.append(rowsOf(fresh, heuristic.index_select(0, new_rows), total.index_select(0, new_rows)));
      ids.index_copy_(0, new_rows, new_ids);
      const at::Tensor recorded = fresh.entries.ge(0);
      if (recorded.any().item<bool>()) {
        const at::Tensor entries = fresh.entries.masked_select(recorded);
        node_of_entry_->ensureLength(entries.max().item<std::int64_t>() + 1);
        node_of_entry_->values().index_put_({entries}, new_ids.masked_select(recorded));
      }
    }
    return ids;
  }

  // The "Itr:" line: smallest and largest heuristic of the batch (first
  // position on ties) and the path costs of their children.
  void printBatch(std::uint64_t iteration, const at::Tensor& heuristic, const at::Tensor& path_cost) const {
    const at::Tensor h = heuristic.to(at::kCPU, at::kDouble);
    const at::Tensor g = path_cost.to(at::kCPU, at::kDouble);
    const std::int64_t lowest = h.eq(h.min()).nonzero()[0][0].item<std::int64_t>();
    const std::int64_t highest = h.eq(h.max()).nonzero()[0][0].item<std::int64_t>();
    printAddedToOpen(iteration, h[lowest].item<double>(), g[lowest].item<double>(), h[highest].item<double>(),
                     g[highest].item<double>());
  }

  const TorchSearchSetup& s_;
  TorchEnv& env_;
  const bool timing_enabled_;
  PhaseClock clock_;
  TorchStatistics stats_;
  const bool in_place_;
  // Costs kept in a bounded storage type are checked as they are made (one
  // host synchronisation each); the default types need no check.
  const bool check_path_costs_;
  const bool check_heuristics_;
  const bool check_total_costs_;
  const at::TensorOptions long_;
  InterruptPoller interrupts_;
  std::optional<TorchOpenQueue> open_;
  std::optional<ClosedNodeIndex> node_of_entry_;
  std::int64_t goal_node_ = -1;
  std::uint64_t nodes_generated_ = 0;
};

}  // namespace

SolveResult runTorchSearch(const TorchSearchSetup& setup, const at::Tensor& start_row) {
  return TorchSearch(setup).run(start_row);
}

}  // namespace kestrel
