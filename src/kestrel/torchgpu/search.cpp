#include "kestrel/torchgpu/search.h"

#include <ATen/ATen.h>
#include <torch/csrc/inductor/aoti_package/model_package_loader.h>
#include <torch/cuda.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <utility>
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

// source[index] written into `out`: in one operation where the types match.
void gatherInto(const at::Tensor& out, const at::Tensor& source, const at::Tensor& index) {
  if (out.scalar_type() == source.scalar_type()) {
    at::Tensor target = out;
    at::index_select_out(target, source, 0, index);
  } else {
    out.copy_(source.index_select(0, index));
  }
}

// The children of one expansion, or the kept part of them, row for row.
// A child's parent, move and depth follow from its row in the expansion
// (parent position * moves + move), so only that row is carried.
struct Children {
  at::Tensor states, path_cost, solved;
  at::Tensor entries;         // under "in_place", the CLOSED entry of each kept child's state
  at::Tensor expansion_rows;  // int64; undefined: the whole expansion, in order

  Children select(const at::Tensor& rows) const {
    return {states.index_select(0, rows), path_cost.index_select(0, rows), solved.index_select(0, rows), at::Tensor(),
            expansionRows(rows)};
  }
  // The same rows, written into the store's next rows (`into`), which then
  // hold them.
  Children selectInto(const at::Tensor& rows, const NodeRows& into) const {
    gatherInto(into.states, states, rows);
    gatherInto(into.path_cost, path_cost, rows);
    gatherInto(into.solved, solved, rows);
    return {into.states, into.path_cost, into.solved, at::Tensor(), expansionRows(rows)};
  }
  at::Tensor expansionRows(const at::Tensor& rows) const {
    return expansion_rows.defined() ? expansion_rows.index_select(0, rows) : rows;
  }
  std::int64_t rows() const { return states.size(0); }
};

// Where the kept children of an iteration go in the store: as new nodes in
// the rows past its size (`appended`: their columns are written there
// directly), or, under "in_place" when some of their states already have
// nodes, at `ids`, overwriting those nodes (`updated`) and numbering the
// others on.
struct Destination {
  bool appended = true;
  NodeRows rows;  // when appended: the store's next rows
  at::Tensor ids;
  at::Tensor updated;
  std::int64_t new_count = 0;
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
  // f = g * w + h * (not s) in the total-cost dtype, rounding g * w on its
  // own: a fused multiply-add would round once and change which node is
  // popped. h * (not s) is exact, so adding it in the same operation rounds
  // as a separate addition would. Written into `out` when given (a column
  // of the total-cost dtype).
  at::Tensor totalCost(const at::Tensor& path_cost, const at::Tensor& heuristic, const at::Tensor& solved,
                       const at::Tensor* out = nullptr) const {
    const c10::ScalarType t = setup_.types.total_cost;
    if (check_total_costs_) {
      const at::Tensor wide = path_cost.to(at::kDouble)
                                  .mul(static_cast<double>(setup_.config.weight))
                                  .add(heuristic.to(at::kDouble).mul(solved.logical_not().to(at::kDouble)));
      requireCostsInRange(wide, t, "memory_dtype_total_cost");
      requireCostsInRange(wide, setup_.types.open_cost, "memory_dtype_open_cost");
    }
    const at::Tensor g_part = path_cost.to(t).mul(static_cast<double>(setup_.config.weight)).to(t);
    // The mask's 0 and 1 become the type's inside the operation.
    if (out != nullptr) {
      at::Tensor target = *out;
      return at::addcmul_out(target, g_part, heuristic.to(t), solved.logical_not());
    }
    return at::addcmul(g_part, heuristic.to(t), solved.logical_not()).to(t);
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
        Destination destination;
        std::tie(kept, destination) = filterThroughClosed(children);
        stored = evaluateAndStore(kept, destination);
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

  // The children CLOSED accepts (under "in_place" only the cheapest child of
  // each state), and where they go in the store: when appended, they are
  // already written there.
  std::pair<Children, Destination> filterThroughClosed(const Children& children) {
    TorchClosedTable::Filtered filtered;
    {
      auto phase = timer_.phase(Phase::ClosedFilter);
      filtered =
          setup_.closed.filter(children.states, children.path_cost,
                               in_place_ ? TorchClosedTable::Keep::CheapestPerState : TorchClosedTable::Keep::Accepted);
    }
    auto phase = timer_.phase(Phase::CheckMisc);
    // The host knows how many stay: no read of the mask.
    const at::Tensor rows = at::nonzero_static(filtered.kept_rows, filtered.kept).reshape({-1});
    const at::Tensor entries = in_place_ ? filtered.entries.index_select(0, rows) : at::Tensor();
    Destination destination = destinationOf(entries, filtered.kept);
    Children kept = destination.appended ? children.selectInto(rows, destination.rows) : children.select(rows);
    kept.entries = entries;
    return {std::move(kept), std::move(destination)};
  }

  // Under "in_place" a kept child whose state already has a node overwrites
  // that node; the others are new, numbered on in batch order. Every kept
  // child has its state's CLOSED entry, and entries are below the table's
  // size: the host knows how long the entry-to-node map must be, and one
  // read tells how many states already have a node.
  Destination destinationOf(const at::Tensor& entries, std::int64_t count) {
    Destination destination;
    if (in_place_ && count > 0) {
      node_of_entry_->ensureLength(setup_.closed.size());
      const at::Tensor mapped = node_of_entry_->values().index_select(0, entries);
      const at::Tensor existing = mapped.ge(0);
      const std::int64_t old_count = countTrue(existing).item<std::int64_t>();
      if (old_count > 0) {
        destination.appended = false;
        destination.ids =
            at::where(existing, mapped, existing.logical_not().cumsum(0, at::kLong).add_(setup_.store.size() - 1));
        destination.updated = mapped.index_select(0, at::nonzero_static(existing, old_count).reshape({-1}));
        destination.new_count = count - old_count;
        return destination;
      }
    }
    destination.rows = setup_.store.nextRows(count);
    return destination;
  }

  struct Stored {
    at::Tensor heuristic;  // of the kept children
    at::Tensor total;      // their priorities f
    at::Tensor ids;        // their node indices
    at::Tensor updated;    // nodes overwritten in place, to leave OPEN
  };

  // Evaluates the kept children in network batches, computes their
  // priorities and stores them as nodes.
  Stored evaluateAndStore(const Children& kept, const Destination& destination) {
    Stored stored;
    stored.heuristic = at::empty({0}, index_options_.dtype(setup_.types.heuristic));
    if (kept.rows() > 0) {
      auto phase = timer_.phase(Phase::Heuristic);
      stored.heuristic = evaluate(kept.states);
    }
    {
      auto phase = timer_.phase(Phase::Cost);
      stored.total = totalCost(kept.path_cost, stored.heuristic, kept.solved,
                               destination.appended ? &destination.rows.total_cost : nullptr);
    }
    auto phase = timer_.phase(Phase::PersistChildren);
    stored.ids = persist(kept, stored.heuristic, stored.total, destination);
    stored.updated = destination.updated;
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

  // Stores the kept children where `destination` says and returns the node
  // index of each, in batch order. Appended children already have their
  // states, path costs, goal flags and priorities in place.
  at::Tensor persist(const Children& kept, const at::Tensor& heuristic, const at::Tensor& total,
                     const Destination& destination) {
    at::Tensor ids;
    if (destination.appended) {
      const NodeRows& next = destination.rows;
      const at::Tensor parent = kept.expansion_rows.div(env_.num_moves, "floor");
      next.heuristic.copy_(heuristic);
      at::Tensor depth = next.depth, move = next.parent_move;
      at::add_out(depth, expanded_depth_.index_select(0, parent), 1);
      gatherInto(next.parent_index, expanded_, parent);
      at::remainder_out(move, kept.expansion_rows, env_.num_moves);
      ids = setup_.store.commitRows(kept.rows());
    } else {
      setup_.store.write(destination.ids, nodeRows(kept, heuristic, total), destination.new_count);
      ids = destination.ids;
    }
    if (in_place_ && kept.rows() > 0) node_of_entry_->values().index_copy_(0, kept.entries, ids);
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
