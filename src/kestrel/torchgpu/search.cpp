#include "kestrel/torchgpu/search.h"

#include <ATen/ATen.h>
#include <torch/csrc/inductor/aoti_package/model_package_loader.h>
#include <torch/cuda.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "kestrel/heuristic/tensor_inference.h"
#include "kestrel/profiling/phase_timer.h"
#include "kestrel/solve/interrupt.h"
#include "kestrel/solve/iteration_report.h"
#include "kestrel/solve/operation_totals.h"
#include "kestrel/solve/search_result.h"
#include "kestrel/torchgpu/counting.h"
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

// The children of one expansion, or the kept part of them, row for row.
// A child's parent, move and depth follow from its row in the expansion
// (parent position * moves + move), so only that row is carried.
struct Children {
  at::Tensor states, path_cost, solved, entries;
  at::Tensor expansion_rows;  // int64; undefined: the whole expansion, in order

  Children select(const at::Tensor& rows) const {
    return {states.index_select(0, rows), path_cost.index_select(0, rows), solved.index_select(0, rows),
            entries.defined() ? entries.index_select(0, rows) : entries,
            expansion_rows.defined() ? expansion_rows.index_select(0, rows) : rows};
  }
  std::int64_t rows() const { return states.size(0); }
};

class TorchSearch {
 public:
  TorchSearch(const TorchSearchSetup& setup)
      : setup_(setup),
        env_(setup.environment),
        timer_(
            "torchgpu",
            PhaseTimer::Switches::of(setup.config.print_internals, setup.config.operation_breakdown,
                                     setup.config.cuda_sync_timing, setup.profiler.enabled()),
            [device = setup.device] {
              if (device.is_cuda()) torch::cuda::synchronize(device.index());
            },
            setup.profiler),
        totals_(setup.config.operation_breakdown),
        in_place_(setup.options.duplicates == DuplicateMode::InPlace),
        check_path_costs_(storableRange(setup.types.path_cost).bounded() ||
                          storableRange(setup.types.closed_cost).bounded()),
        check_heuristics_(storableRange(setup.types.heuristic).bounded()),
        check_total_costs_(storableRange(setup.types.total_cost).bounded() ||
                           storableRange(setup.types.open_cost).bounded()),
        index_options_(at::TensorOptions().dtype(at::kLong).device(setup.device)) {}

  SolveResult run(const at::Tensor& start_row) {
    evaluateRoot(start_row);
    const bool budget_exceeded = loop();

    SearchEnd end;
    end.solved = goal_node_ >= 0;
    if (end.solved) end.moves = reconstructMoves(setup_.store, env_, goal_node_, setup_.options.move_source);
    end.nodes_generated = nodes_generated_;
    end.budget_exceeded = budget_exceeded;
    const TimePoint finished = now();
    SolveResult result =
        searchResult(std::move(end), totals_, setup_.config.operation_breakdown, setup_.start_time, finished);
    timer_.finishProfile(setup_.start_time, finished);
    return result;
  }

 private:
  // f = g * w + h * (not s), one operation at a time in the total-cost dtype:
  // a fused multiply-add would round once and change which node is popped.
  at::Tensor totalCost(const at::Tensor& path_cost, const at::Tensor& heuristic, const at::Tensor& solved) const {
    const c10::ScalarType t = setup_.types.total_cost;
    if (check_total_costs_) {
      const at::Tensor wide = path_cost.to(at::kDouble)
                                  .mul(static_cast<double>(setup_.config.weight))
                                  .add(heuristic.to(at::kDouble).mul(solved.logical_not().to(at::kDouble)));
      requireCostsInRange(wide, t, "memory_dtype_total_cost");
      requireCostsInRange(wide, setup_.types.open_cost, "memory_dtype_open_cost");
    }
    const at::Tensor g_part = path_cost.to(t).mul(static_cast<double>(setup_.config.weight)).to(t);
    // The mask's 0 and 1 become the type's inside the multiplication.
    const at::Tensor h_part = heuristic.to(t).mul(solved.logical_not()).to(t);
    return g_part.add(h_part).to(t);
  }

  // The heuristic of `states`, in chunks of at most nnet_batch rows.
  at::Tensor evaluate(const at::Tensor& states) {
    const std::int64_t rows = states.size(0);
    std::vector<at::Tensor> outputs;
    for (std::int64_t begin = 0; begin < rows; begin += setup_.sizes.nnet_batch) {
      const at::Tensor chunk = states.slice(0, begin, std::min(begin + setup_.sizes.nnet_batch, rows));
      const std::vector<at::Tensor> inputs = networkInputs(chunk);
      at::Tensor h = infer(inputs);
      if (h.numel() != chunk.size(0)) throw std::runtime_error(kHeuristicRowsMessage);
      outputs.push_back(h.reshape({-1}));
    }
    const at::Tensor heuristic = outputs.size() == 1 ? outputs.front() : at::cat(outputs);
    if (check_heuristics_)
      requireCostsInRange(heuristic.to(at::kDouble), setup_.types.heuristic, "memory_dtype_heuristic");
    return heuristic.to(setup_.types.heuristic);
  }

  std::vector<at::Tensor> networkInputs(const at::Tensor& states) {
    auto phase = timer_.phase(Phase::WriteInputs);
    return env_.networkInputs(states);
  }

  at::Tensor infer(const std::vector<at::Tensor>& inputs) {
    auto phase = timer_.phase(Phase::HeuristicInfer);
    return inferHeuristicTensors(setup_.loader, inputs);
  }

  // The start node's heuristic, once its inputs are known to fit the network.
  at::Tensor evaluateStart(const at::Tensor& start) {
    auto phase = timer_.phase(Phase::Heuristic);
    const std::vector<at::Tensor> inputs = networkInputs(start);
    if (inputs.size() != setup_.manifest.inputs.size()) {
      throw std::runtime_error("AOTI manifest input count mismatch for environment '" + setup_.environment_name + "'");
    }
    std::uint64_t input_width = 0;
    for (const at::Tensor& input : inputs) input_width += static_cast<std::uint64_t>(input.numel());
    if (input_width != totalInputElements(setup_.manifest)) {
      throw std::runtime_error(inputSizeMismatchMessage(setup_.environment_name, input_width, setup_.manifest,
                                                        totalInputElements(setup_.manifest)));
    }
    const at::Tensor h0 = infer(inputs).reshape({-1});
    if (check_heuristics_) requireCostsInRange(h0.to(at::kDouble), setup_.types.heuristic, "memory_dtype_heuristic");
    if (h0.numel() != 1) throw std::runtime_error(kHeuristicRowsMessage);
    return h0.to(setup_.types.heuristic);
  }

  void evaluateRoot(const at::Tensor& start) {
    requireExact(start, setup_.types.node_state, "memory_dtype_node_state");
    requireExact(start.to(setup_.types.node_state), setup_.types.closed_key, "memory_dtype_closed_key");
    at::Tensor solved;
    {
      auto phase = timer_.phase(Phase::IsSolved);
      solved = env_.isSolved(start).reshape({-1});
    }
    const at::Tensor g0 = at::zeros({1}, at::TensorOptions().dtype(setup_.types.path_cost).device(setup_.device));
    const at::Tensor h0 = evaluateStart(start);
    totals_.startNode(timer_.seconds());
    const at::Tensor f0 = totalCost(g0, h0, solved);

    const at::Tensor start_ids =
        setup_.store.append({start, at::zeros({1}, index_options_), g0, h0, f0, solved,
                             at::full({1}, -1, index_options_), at::full({1}, -1, index_options_)});

    const at::Tensor keys = setup_.closed.normalizeKeys(start);
    setup_.closed.reserve(setup_.closed.usedSlots() + 1);
    const at::Tensor hashes = setup_.closed.hashKeys(keys);
    setup_.closed.insert(keys, g0.to(setup_.device, setup_.types.closed_cost), hashes,
                         setup_.closed.lookup(keys, hashes));

    const bool fixed = setup_.options.capacity == CapacityMode::Fixed;
    if (in_place_) node_of_entry_.emplace(setup_.sizes.closed_capacity, 0, setup_.device, fixed);
    open_.emplace(start_ids, f0, setup_.types.open_index, setup_.types.open_cost, setup_.device,
                  setup_.sizes.open_capacity, fixed);
  }

  // Returns whether the search stopped at the budget.
  bool loop() {
    for (std::uint64_t iteration = 0;; ++iteration) {
      interrupts_.poll();
      if (open_->empty()) return false;
      if (iterate(iteration)) return false;  // a goal was popped
      if (setup_.config.search_budget > 0 &&
          nodes_generated_ >= static_cast<std::uint64_t>(setup_.config.search_budget)) {
        return true;
      }
    }
  }

  // One iteration: pop, expand, goal-test the children, filter them through
  // CLOSED, evaluate and store the kept ones, push them. Returns whether it
  // popped a goal.
  bool iterate(std::uint64_t iteration) {
    IterationShape shape;
    Popped popped;
    Stored stored;
    Children kept;
    {
      auto phase = timer_.iteration();
      popped = popBatch();
      shape.expanded = popped.expand_ids.size(0) > 0;
      if (shape.expanded) {
        Children children = expandBatch(popped.expand_ids);
        children.solved = testGoals(children);
        kept = filterThroughClosed(children);
        stored = evaluateAndStore(kept);
        pushToOpen(stored);
        shape.tested_children = true;
        shape.evaluated_children = kept.rows() > 0;
      }
    }
    totals_.iteration(timer_.seconds(), shape);
    if (shape.expanded && setup_.config.print_internals) {
      if (kept.rows() > 0) printBatch(iteration, stored.heuristic, kept.path_cost);
      printIterationTimes(iterationTimes(timer_.seconds()));
    }
    return popped.goal;
  }

  struct Popped {
    at::Tensor expand_ids;  // the nodes to expand
    bool goal = false;      // whether a goal was popped (recorded in goal_node_)
  };

  // Pops up to `batch` nodes; under "stop_before_goal" the first goal and
  // everything popped after it are not expanded.
  Popped popBatch() {
    auto phase = timer_.phase(Phase::PopFromOpen);
    const TorchOpenQueue::Popped popped = open_->pop(setup_.sizes.batch, TorchOpenQueue::PoppedCosts::Skip);
    Popped result{popped.nodes};
    const at::Tensor goals = setup_.store.solved().index_select(0, popped.nodes);
    if (anyTrue(goals).item<std::int64_t>() != 0) {
      const std::int64_t first = goals.nonzero()[0][0].item<std::int64_t>();
      goal_node_ = popped.nodes[first].item<std::int64_t>();
      result.goal = true;
      if (setup_.options.goal_stop == GoalStopMode::StopBeforeGoal) result.expand_ids = popped.nodes.slice(0, 0, first);
    }
    return result;
  }

  // The children of the popped nodes, n x M in parent-major order.
  Children expandBatch(const at::Tensor& expand_ids) {
    at::Tensor parent_states, parent_cost;
    {
      auto phase = timer_.phase(Phase::PopMisc);
      parent_states = setup_.store.states().index_select(0, expand_ids);
      parent_cost = setup_.store.pathCost().index_select(0, expand_ids);
      expanded_ = expand_ids;
      expanded_depth_ = setup_.store.depth().index_select(0, expand_ids);
    }
    at::Tensor child_states, step_costs;
    {
      auto phase = timer_.phase(Phase::Expand);
      std::tie(child_states, step_costs) = env_.expand(parent_states);
    }
    auto phase = timer_.phase(Phase::ExpandMisc);
    return makeChildren(parent_cost, child_states, step_costs);
  }

  at::Tensor testGoals(const Children& children) {
    auto phase = timer_.phase(Phase::IsSolved);
    nodes_generated_ += static_cast<std::uint64_t>(children.rows());
    return env_.isSolved(children.states).reshape({-1}).to(at::kBool);
  }

  // The children CLOSED accepts; under "in_place" only the cheapest child of
  // each state.
  Children filterThroughClosed(Children children) {
    TorchClosedTable::Filtered filtered;
    {
      auto phase = timer_.phase(Phase::ClosedFilter);
      filtered =
          setup_.closed.filter(children.states, children.path_cost,
                               in_place_ ? TorchClosedTable::Keep::CheapestPerState : TorchClosedTable::Keep::Accepted);
    }
    auto phase = timer_.phase(Phase::CheckMisc);
    // The host knows how many stay: no read of the mask.
    if (in_place_) children.entries = filtered.entries;
    return children.select(at::nonzero_static(filtered.kept_rows, filtered.kept).reshape({-1}));
  }

  struct Stored {
    at::Tensor heuristic;  // of the kept children
    at::Tensor total;      // their priorities f
    at::Tensor ids;        // their node indices
    at::Tensor updated;    // nodes overwritten in place, to leave OPEN
  };

  // Evaluates the kept children in network batches, computes their
  // priorities and stores them as nodes.
  Stored evaluateAndStore(const Children& kept) {
    Stored stored;
    stored.heuristic = at::empty({0}, index_options_.dtype(setup_.types.heuristic));
    if (kept.rows() > 0) {
      auto phase = timer_.phase(Phase::Heuristic);
      stored.heuristic = evaluate(kept.states);
    }
    {
      auto phase = timer_.phase(Phase::Cost);
      stored.total = totalCost(kept.path_cost, stored.heuristic, kept.solved);
    }
    auto phase = timer_.phase(Phase::PersistChildren);
    stored.ids = persist(kept, stored.heuristic, stored.total, stored.updated);
    return stored;
  }

  void pushToOpen(const Stored& stored) {
    if (setup_.store.size() - 1 > largestExactIndex(setup_.types.open_index, false)) {  // every node index < size()
      throw std::runtime_error(
          "memory_dtype_open_index cannot hold the node indices of this search; choose a wider "
          "storage type");
    }
    auto phase = timer_.phase(Phase::AddToOpen);
    if (stored.updated.defined() && stored.updated.numel() > 0 && !open_->empty()) {
      open_->removeNodes(stored.updated, setup_.store.size());
    }
    open_->append(stored.ids, stored.total);
  }

  // n x M children in parent-major order, in the storage types.
  Children makeChildren(const at::Tensor& parent_cost, const at::Tensor& child_states,
                        const at::Tensor& step_costs) const {
    const std::int64_t n = parent_cost.size(0);
    const std::int64_t m = env_.num_moves;
    Children children;
    requireExact(child_states, setup_.types.node_state, "memory_dtype_node_state");
    children.states = child_states.view({n * m, -1}).to(setup_.types.node_state);
    requireExact(children.states, setup_.types.closed_key, "memory_dtype_closed_key");
    children.path_cost = parent_cost.view({n, 1})
                             .add(step_costs.view({n, m}).to(setup_.types.path_cost))
                             .flatten()
                             .to(setup_.types.path_cost);
    if (check_path_costs_) {
      const at::Tensor wide = parent_cost.to(at::kDouble).view({n, 1}).add(step_costs.view({n, m}).to(at::kDouble));
      requireExactCosts(wide.flatten(), setup_.types.path_cost, "memory_dtype_path_cost");
      requireExactCosts(wide.flatten(), setup_.types.closed_cost, "memory_dtype_closed_cost");
    }
    return children;
  }

  // The node rows of these children, with parent, move and depth from their
  // rows in the expansion.
  NodeRows nodeRows(const Children& c, const at::Tensor& heuristic, const at::Tensor& total) const {
    const at::Tensor parent = c.expansion_rows.div(env_.num_moves, "floor");
    return NodeRows{c.states,
                    expanded_depth_.index_select(0, parent).add(1),
                    c.path_cost,
                    heuristic,
                    total,
                    c.solved,
                    expanded_.index_select(0, parent),
                    c.expansion_rows.remainder(env_.num_moves)};
  }

  // Stores the kept children and returns the node index of each, in batch
  // order. In "in_place" mode a child whose state already has a node
  // overwrites that node (its index goes to `updated`); the others are new,
  // numbered on in batch order.
  at::Tensor persist(const Children& kept, const at::Tensor& heuristic, const at::Tensor& total, at::Tensor& updated) {
    if (!in_place_ || kept.rows() == 0) return setup_.store.append(nodeRows(kept, heuristic, total));

    // Every kept child has its state's CLOSED entry, and entries are below
    // the table's size: the host knows how long the map must be.
    node_of_entry_->ensureLength(setup_.closed.size());
    const at::Tensor mapped = node_of_entry_->values().index_select(0, kept.entries);
    // One host read tells how many states already have a node.
    const at::Tensor existing = mapped.ge(0);
    const std::int64_t old_count = countTrue(existing).item<std::int64_t>();
    at::Tensor ids;
    if (old_count == 0) {  // the usual case: one slice per column
      ids = setup_.store.append(nodeRows(kept, heuristic, total));
    } else {
      const at::Tensor fresh = existing.logical_not();
      ids = at::where(existing, mapped, fresh.cumsum(0, at::kLong).add_(setup_.store.size() - 1));
      setup_.store.write(ids, nodeRows(kept, heuristic, total), kept.rows() - old_count);
      updated = mapped.index_select(0, at::nonzero_static(existing, old_count).reshape({-1}));
    }
    node_of_entry_->values().index_copy_(0, kept.entries, ids);
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

  const TorchSearchSetup& setup_;
  TorchEnv& env_;
  PhaseTimer timer_;
  OperationTotals totals_;
  const bool in_place_;
  // Costs kept in a bounded storage type are checked as they are made (one
  // host synchronisation each); the default types need no check.
  const bool check_path_costs_;
  const bool check_heuristics_;
  const bool check_total_costs_;
  const at::TensorOptions index_options_;
  InterruptPoller interrupts_;
  std::optional<TorchOpenQueue> open_;
  std::optional<ClosedNodeIndex> node_of_entry_;
  at::Tensor expanded_, expanded_depth_;  // the nodes this iteration expands, and their depths
  std::int64_t goal_node_ = -1;
  std::uint64_t nodes_generated_ = 0;
};

}  // namespace

SolveResult runTorchSearch(const TorchSearchSetup& setup, const at::Tensor& start_row) {
  return TorchSearch(setup).run(start_row);
}

}  // namespace kestrel
