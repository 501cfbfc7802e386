#include <ATen/ATen.h>
#include <c10/core/CPUAllocator.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "kestrel/torchgpu/config.h"
#include "kestrel/torchgpu/cpu_block_cache.h"
#include "kestrel/torchgpu/node_store.h"
#include "kestrel/torchgpu/open_queue.h"
#include "kestrel/torchgpu/solution_path.h"
#include "support/expect_error.h"

namespace kestrel {
namespace {

using Longs = std::vector<std::int64_t>;
const c10::Device kCpu(c10::kCPU);
using kestrel::testing::thrownMessage;

Longs longs(const at::Tensor& t) {
  const at::Tensor flat = t.to(at::kLong).contiguous().cpu();
  return Longs(flat.data_ptr<std::int64_t>(), flat.data_ptr<std::int64_t>() + flat.numel());
}
std::vector<double> doubles(const at::Tensor& t) {
  const at::Tensor flat = t.to(at::kDouble).contiguous().cpu();
  return std::vector<double>(flat.data_ptr<double>(), flat.data_ptr<double>() + flat.numel());
}
at::Tensor ids(Longs values) { return at::tensor(values, at::kLong); }
at::Tensor costs(std::vector<float> values) { return at::tensor(values, at::kFloat); }

TEST(TorchDerivedSizes, FollowsHintsAndWorkload) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  struct Case {
    const char* name;
    std::int32_t batch_size, nnet_hint;
    std::int64_t open_hint, node_hint, closed_hint;
    float factor;
    std::int64_t num_moves;
    TorchDerivedSizes want;  // batch, OPEN, node store, CLOSED, nnet batch
  };
  const std::vector<Case> cases = {
      {"expansion raised to 1024", 64, 0, 0, 0, 0, 4.0f, 12, {64, 1024, 1025, 1024, 768}},
      {"expansion above 1024", 100, 0, 0, 0, 0, 4.0f, 12, {100, 1200, 1201, 1200, 1200}},
      {"closed scaled", 64, 0, 0, 1000, 0, 2.5f, 12, {64, 1024, 1000, 2500, 768}},
      {"scaled closed raised to 8", 64, 0, 0, 2, 0, 1.5f, 12, {64, 1024, 2, 8, 768}},
      // 10 * 1.1f is exactly 11 in float; in double it would ceil to 12.
      {"scaled in float", 64, 0, 0, 10, 0, 1.1f, 12, {64, 1024, 10, 11, 768}},
      {"closed hint alone", 64, 0, 0, 0, 5000, 4.0f, 12, {64, 1024, 1025, 5000, 768}},
      {"closed hint beats factor", 64, 0, 0, 1000, 30, 4.0f, 12, {64, 1024, 1000, 30, 768}},
      {"open hint", 64, 0, 7, 0, 0, 4.0f, 12, {64, 7, 1025, 1024, 768}},
      {"nnet hint capped", 64, 10000, 0, 0, 0, 4.0f, 12, {64, 1024, 1025, 1024, 4096}},
      {"automatic nnet capped", 1000, 0, 0, 0, 0, 4.0f, 12, {1000, 12000, 12001, 12000, 4096}},
      {"batch 0 acts as 1", 0, 0, 0, 0, 0, 4.0f, 12, {1, 1024, 1025, 1024, 12}},
      {"no moves", 64, 0, 0, 0, 0, 4.0f, 0, {64, 1024, 1025, 1024, 1}},
      {"product saturates", 64, 0, 0, 0, 0, 4.0f, kMax / 2, {64, kMax, kMax, kMax, 4096}},
  };
  for (const Case& c : cases) {
    TorchAStarConfig config;
    config.batch_size = c.batch_size;
    config.nnet_batch_size = c.nnet_hint;
    config.initial_open_size = c.open_hint;
    config.initial_node_store_size = c.node_hint;
    config.initial_closed_size = c.closed_hint;
    config.hash_capacity_factor = c.factor;
    const TorchDerivedSizes got = deriveTorchSizes(config, c.num_moves);
    EXPECT_EQ(Longs({got.batch, got.open_capacity, got.node_store_capacity, got.closed_capacity, got.nnet_batch}),
              Longs({c.want.batch, c.want.open_capacity, c.want.node_store_capacity, c.want.closed_capacity,
                     c.want.nnet_batch}))
        << c.name;
  }
}

TEST(TorchStorageTypes, ScalarTypeNames) {
  const std::vector<std::pair<std::string, c10::ScalarType>> known = {
      {"float32", at::kFloat}, {"float64", at::kDouble},   {"int64", at::kLong}, {"int32", at::kInt},
      {"int16", at::kShort},   {"int8", at::kChar},        {"uint8", at::kByte}, {"bool", at::kBool},
      {"float16", at::kHalf},  {"bfloat16", at::kBFloat16}};
  for (const auto& [name, type] : known) {
    EXPECT_EQ(scalarTypeFromName(name), type) << name;
  }
  for (const std::string name : {"uint32", "uint16", "uint64", "Float32", ""}) {
    EXPECT_EQ(thrownMessage<std::invalid_argument>([&] { scalarTypeFromName(name); }),
              "Unsupported scalar type name: " + name);
  }
}

TEST(TorchStorageTypes, ConvertsEachFieldToItsMember) {
  TorchAStarConfig config;
  config.memory_dtype_open_index = "int32";
  config.memory_dtype_open_cost = "float16";
  config.memory_dtype_path_cost = "float64";
  config.memory_dtype_heuristic = "bfloat16";
  config.memory_dtype_parent_move = "int16";
  config.memory_dtype_closed_key = "bool";
  const TorchStorageTypes t = storageTypesOf(config);
  EXPECT_EQ(std::vector<c10::ScalarType>({t.node_state, t.open_index, t.open_cost, t.path_cost, t.heuristic,
                                          t.total_cost, t.parent_index, t.parent_move, t.closed_key, t.closed_cost}),
            std::vector<c10::ScalarType>({at::kByte, at::kInt, at::kHalf, at::kDouble, at::kBFloat16, at::kFloat,
                                          at::kLong, at::kShort, at::kBool, at::kFloat}));

  config.memory_dtype_closed_key = "uint32";  // declared before the OPEN index, converted after it
  config.memory_dtype_open_index = "uint64";
  EXPECT_EQ(thrownMessage<std::invalid_argument>([&] { storageTypesOf(config); }),
            "Unsupported scalar type name: uint64");
}

constexpr std::int64_t kWidth = 3;
const NodeColumnTypes kColumns{at::kByte, at::kFloat, at::kFloat, at::kFloat, at::kLong, at::kChar};

// Every column derives from the row number `first + i`, so any row can be
// checked after growth or overwrite.
NodeRows makeRows(std::int64_t n, std::int64_t first) {
  const at::Tensor seq = at::arange(first, first + n, at::kLong);
  return NodeRows{(seq.unsqueeze(1) * kWidth + at::arange(kWidth, at::kLong)).remainder(251).to(at::kInt),
                  seq.to(at::kInt),
                  seq.to(at::kDouble) + 0.25,
                  seq.to(at::kFloat) * 2,
                  seq.to(at::kFloat) * 3,
                  seq.remainder(2),
                  seq - 1,
                  seq.remainder(5) - 1};
}

void expectRowsAt(const TorchNodeStore& store, std::int64_t row, const NodeRows& rows, const std::string& what) {
  const std::int64_t n = rows.states.size(0);
  const std::vector<std::pair<const at::Tensor*, const at::Tensor*>> columns = {
      {&store.states(), &rows.states},
      {&store.depth(), &rows.depth},
      {&store.pathCost(), &rows.path_cost},
      {&store.heuristic(), &rows.heuristic},
      {&store.totalCost(), &rows.total_cost},
      {&store.solved(), &rows.solved},
      {&store.parentIndex(), &rows.parent_index},
      {&store.parentMove(), &rows.parent_move}};
  for (const auto& [stored, given] : columns) {
    EXPECT_EQ(doubles(stored->narrow(0, row, n)), doubles(given->to(stored->scalar_type()))) << what;
  }
}

TEST(TorchNodeStore, FixedCapacityFillsThenThrows) {
  TorchNodeStore store(kWidth, kCpu, kColumns, 1025, /*fixed=*/true);
  EXPECT_EQ(longs(store.append(makeRows(1025, 0))), longs(at::arange(1025)));
  EXPECT_EQ(store.append(makeRows(0, 0)).scalar_type(), at::kLong);
  EXPECT_EQ(thrownMessage<std::runtime_error>([&] { store.append(makeRows(1, 1025)); }),
            "fixed node-store capacity exhausted at capacity=1025");
  EXPECT_EQ(store.size(), 1025);
}

TEST(TorchNodeStore, AdaptiveGrowthKeepsContents) {
  for (const auto& [add, want_capacity] :
       std::vector<std::pair<std::int64_t, std::int64_t>>{{40, 2050}, {3000, 4020}, {5, 1025}}) {
    TorchNodeStore store(kWidth, kCpu, kColumns, 1025, /*fixed=*/false);
    store.append(makeRows(1020, 0));
    const at::Tensor new_ids = store.append(makeRows(add, 1020));
    const std::string what = "adding " + std::to_string(add);
    EXPECT_EQ(store.capacity(), want_capacity) << what;
    EXPECT_EQ(store.states().size(0), want_capacity) << what;
    EXPECT_EQ(longs(new_ids), longs(at::arange(1020, 1020 + add))) << what;
    expectRowsAt(store, 0, makeRows(1020 + add, 0), what);
  }
}

TEST(TorchNodeStore, ConvertsEveryColumnToItsType) {
  TorchNodeStore store(kWidth, kCpu, {at::kShort, at::kHalf, at::kDouble, at::kBFloat16, at::kInt, at::kLong}, 4,
                       /*fixed=*/true);
  store.append(makeRows(4, 10));
  EXPECT_EQ(std::vector<c10::ScalarType>({store.states().scalar_type(), store.depth().scalar_type(),
                                          store.pathCost().scalar_type(), store.heuristic().scalar_type(),
                                          store.totalCost().scalar_type(), store.solved().scalar_type(),
                                          store.parentIndex().scalar_type(), store.parentMove().scalar_type()}),
            std::vector<c10::ScalarType>(
                {at::kShort, at::kLong, at::kHalf, at::kDouble, at::kBFloat16, at::kBool, at::kInt, at::kLong}));
  expectRowsAt(store, 0, makeRows(4, 10), "converted");
}

// The next rows are the store's own (filling them fills the columns, in
// their types), made room for first, and nodes only once committed; until
// then nothing may grow the store under them.
TEST(TorchNodeStore, NextRowsBecomeNodesWhenCommitted) {
  TorchNodeStore store(kWidth, kCpu, kColumns, 4, /*fixed=*/false);
  store.append(makeRows(3, 0));
  const NodeRows next = store.nextRows(2);  // grows: 5 rows do not fit in 4
  EXPECT_EQ(store.capacity(), 8);
  EXPECT_EQ(store.size(), 3);
  EXPECT_THROW(store.append(makeRows(9, 0)), std::logic_error);
  EXPECT_THROW(store.write(ids({0}), makeRows(1, 0)), std::logic_error);
  EXPECT_THROW(store.nextRows(1), std::logic_error);
  EXPECT_THROW(store.commitRows(1), std::logic_error);
  EXPECT_EQ(next.total_cost.scalar_type(), at::kFloat);
  const NodeRows given = makeRows(2, 3);
  for (const auto& [into, from] :
       std::vector<std::pair<at::Tensor, at::Tensor>>{{next.states, given.states},
                                                      {next.depth, given.depth},
                                                      {next.path_cost, given.path_cost},
                                                      {next.heuristic, given.heuristic},
                                                      {next.total_cost, given.total_cost},
                                                      {next.solved, given.solved},
                                                      {next.parent_index, given.parent_index},
                                                      {next.parent_move, given.parent_move}}) {
    at::Tensor target = into;
    target.copy_(from);
  }
  EXPECT_EQ(longs(store.commitRows(2)), longs(at::arange(3, 5)));
  EXPECT_EQ(store.size(), 5);
  expectRowsAt(store, 0, makeRows(5, 0), "committed after growth");
  EXPECT_THROW(store.commitRows(0), std::logic_error);  // none handed out
}

TEST(TorchNodeStore, WriteRewritesRowsAtIndicesAndAddsNewOnes) {
  TorchNodeStore store(kWidth, kCpu, kColumns, 8, /*fixed=*/true);
  store.append(makeRows(6, 0));
  store.write(ids({4, 1}).to(at::kInt), makeRows(2, 100));
  expectRowsAt(store, 4, makeRows(1, 100), "row 4");
  expectRowsAt(store, 1, makeRows(1, 101), "row 1");
  expectRowsAt(store, 0, makeRows(1, 0), "row 0 untouched");
  expectRowsAt(store, 2, makeRows(2, 2), "rows 2-3 untouched");
  EXPECT_EQ(thrownMessage<std::invalid_argument>([&] { store.write(ids({0}), makeRows(2, 0)); }),
            "indices and node rows must contain the same number of rows");

  // Two new nodes, out of order, beside an overwrite.
  store.write(ids({7, 2, 6}), makeRows(3, 200), /*new_count=*/2);
  EXPECT_EQ(store.size(), 8);
  expectRowsAt(store, 7, makeRows(1, 200), "new row 7");
  expectRowsAt(store, 2, makeRows(1, 201), "row 2");
  expectRowsAt(store, 6, makeRows(1, 202), "new row 6");
  EXPECT_EQ(thrownMessage<std::runtime_error>([&] { store.write(ids({8}), makeRows(1, 0), 1); }),
            "fixed node-store capacity exhausted at capacity=8");

  TorchNodeStore adaptive(kWidth, kCpu, kColumns, 2, /*fixed=*/false);
  adaptive.append(makeRows(2, 0));
  adaptive.write(ids({3, 0, 2}), makeRows(3, 300), 2);
  EXPECT_EQ(adaptive.size(), 4);
  expectRowsAt(adaptive, 1, makeRows(1, 1), "row 1 kept through growth");
  expectRowsAt(adaptive, 2, makeRows(1, 302), "new row 2");
}

struct QueueMode {
  const char* name;
  std::int64_t capacity;
  bool fixed;
  std::int64_t want_rows;  // 0: unbuffered
};
const std::vector<QueueMode> kQueueModes = {
    {"unbuffered", 1, false, 0}, {"buffered adaptive", 16, false, 16}, {"buffered fixed", 4, true, 4}};

TEST(TorchOpenQueue, PopTakesCheapestInQueueOrder) {
  for (const QueueMode& mode : kQueueModes) {
    TorchOpenQueue queue(ids({10}), costs({4}), at::kInt, at::kFloat, kCpu, mode.capacity, mode.fixed);
    queue.append(ids({11, 12}), costs({2, 2}));
    queue.append(ids({13}), costs({7}));
    EXPECT_EQ(queue.buffered(), mode.want_rows > 0) << mode.name;
    EXPECT_EQ(queue.bufferRows(), mode.want_rows) << mode.name;
    EXPECT_EQ(queue.index().scalar_type(), at::kInt) << mode.name;

    const TorchOpenQueue::Popped popped = queue.pop(2);
    EXPECT_EQ(popped.nodes.scalar_type(), at::kLong) << mode.name;
    EXPECT_EQ(longs(popped.nodes), Longs({11, 12})) << mode.name;
    EXPECT_EQ(doubles(popped.costs), std::vector<double>({2, 2})) << mode.name;
    EXPECT_EQ(longs(queue.index()), Longs({10, 13})) << mode.name;
    EXPECT_EQ(doubles(queue.cost()), std::vector<double>({4, 7})) << mode.name;

    const TorchOpenQueue::Popped rest = queue.pop(5, TorchOpenQueue::PoppedCosts::Skip);
    EXPECT_EQ(longs(rest.nodes), Longs({10, 13})) << mode.name;
    EXPECT_FALSE(rest.costs.defined()) << mode.name;
    EXPECT_TRUE(queue.empty()) << mode.name;
    EXPECT_EQ(queue.pop(3).costs.scalar_type(), at::kFloat) << mode.name;
  }
}

// Pops must follow a stable sort of all costs, whichever way the queue finds
// the cheapest: by packed keys for costs of up to 32 bits (signed zeros,
// negatives, infinities and NaN included), by a partial sort for wider ones.
TEST(TorchOpenQueue, PopsOfALargeQueueMatchAStableSortOfAllCosts) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  for (const at::ScalarType type :
       {at::kFloat, at::kHalf, at::kBFloat16, at::kDouble, at::kInt, at::kShort, at::kChar, at::kLong}) {
    at::manual_seed(7);
    at::Tensor costs_all = at::randint(-10, 10, {5000}, at::kLong).to(at::kDouble);
    if (at::isFloatingType(type)) {
      costs_all.index_put_({at::arange(0, 5000, 97)}, -0.0);
      costs_all.index_put_({at::arange(1, 5000, 89)}, 0.0);
      costs_all.index_put_({at::arange(2, 5000, 83)}, -nan);
      costs_all.index_put_({at::arange(3, 5000, 79)}, nan);
      costs_all.index_put_({at::arange(4, 5000, 73)}, -inf);
      costs_all.index_put_({at::arange(5, 5000, 71)}, inf);
    }
    // Entries 5000-9999 are appended along the way, 500 after each pop.
    costs_all = at::cat({costs_all, at::randint(-10, 10, {5000}, at::kLong).to(at::kDouble)}).to(type);
    TorchOpenQueue queue(at::arange(5000, at::kLong), costs_all.narrow(0, 0, 5000), at::kLong, type, kCpu, 8192, false);
    at::Tensor remaining = at::arange(5000, at::kLong);  // in queue order
    std::int64_t appended = 5000;
    for (std::int64_t k : {100, 1, 700, 3000, 1199, 2000, 2500}) {
      k = std::min(k, remaining.size(0));
      const at::Tensor order = at::argsort(costs_all.index_select(0, remaining), true, 0, false).narrow(0, 0, k);
      const at::Tensor expected = remaining.index_select(0, order);
      EXPECT_TRUE(queue.pop(k).nodes.equal(expected)) << k << " " << type;
      at::Tensor keep = at::ones({remaining.size(0)}, at::kBool).index_fill_(0, order, false);
      remaining = remaining.masked_select(keep);
      // Removing every 7th node, popped ones included, takes the live ones only.
      const at::Tensor removed = at::arange(0, appended, 7, at::kLong);
      queue.removeNodes(removed, 10000);
      remaining = remaining.masked_select(remaining.remainder(7).ne(0));
      if (appended < 10000) {
        queue.append(at::arange(appended, appended + 500, at::kLong), costs_all.narrow(0, appended, 500));
        remaining = at::cat({remaining, at::arange(appended, appended + 500, at::kLong)});
        appended += 500;
      }
      EXPECT_EQ(queue.size(), remaining.size(0)) << k << " " << type;
    }
    EXPECT_TRUE(queue.index().equal(remaining)) << type;
    EXPECT_TRUE(queue.cost().equal(costs_all.index_select(0, remaining))) << type;
  }
}

TEST(TorchOpenQueue, ReplaceMayGrowTheBufferAndRestartsTheOrder) {
  for (const QueueMode& mode : kQueueModes) {
    if (mode.fixed) continue;
    TorchOpenQueue queue(ids({1, 2, 3}), costs({3, 2, 1}), at::kLong, at::kFloat, kCpu, mode.capacity, false);
    queue.replace(ids({7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23}),
                  costs({5, 5, 4, 4, 3, 3, 2, 2, 1, 1, 0, 0, 9, 9, 8, 8, 7}));
    EXPECT_EQ(queue.size(), 17) << mode.name;
    EXPECT_EQ(longs(queue.index()).front(), 7) << mode.name;
    EXPECT_EQ(longs(queue.pop(3).nodes), Longs({17, 18, 15})) << mode.name;
  }
}

TEST(TorchOpenQueue, RemoveNodesKeepsOrderOfTheRest) {
  for (const QueueMode& mode : kQueueModes) {
    TorchOpenQueue queue(ids({5}), costs({0.5}), at::kLong, at::kFloat, kCpu, mode.capacity, false);
    queue.append(ids({6, 7, 8, 9}), costs({1.5, 2.5, 3.5, 4.5}));
    queue.removeNodes(ids({8, 6, 42}), 43);
    EXPECT_EQ(longs(queue.index()), Longs({5, 7, 9})) << mode.name;
    EXPECT_EQ(doubles(queue.cost()), std::vector<double>({0.5, 2.5, 4.5})) << mode.name;
  }
}

TEST(TorchOpenQueue, FixedCapacityLimits) {
  EXPECT_EQ(thrownMessage<std::invalid_argument>(
                [] { TorchOpenQueue(ids({0}), costs({0}), at::kLong, at::kFloat, kCpu, 0, /*fixed=*/true); }),
            "fixed OPEN capacity is smaller than the initial OPEN size");

  TorchOpenQueue queue(ids({0}), costs({0}), at::kLong, at::kFloat, kCpu, 1, /*fixed=*/true);
  EXPECT_EQ(queue.bufferRows(), 1);
  EXPECT_EQ(thrownMessage<std::runtime_error>([&] { queue.append(ids({1, 2}), costs({1, 2})); }),
            "fixed OPEN capacity exhausted at capacity=1");
  queue.pop(1);
  queue.append(ids({1}), costs({1}));  // the freed row is usable again
  EXPECT_EQ(longs(queue.index()), Longs({1}));
}

TEST(TorchOpenQueue, BufferedGrowthKeepsContentsAndOrder) {
  TorchOpenQueue queue(ids({0}), costs({5}), at::kLong, at::kFloat, kCpu, 2, /*fixed=*/false);
  queue.append(ids({1, 2, 3}), costs({4, 3, 2}));
  EXPECT_EQ(queue.bufferRows(), 4);
  queue.append(ids({4}), costs({1}));
  EXPECT_EQ(queue.bufferRows(), 8);  // doubled
  queue.append(at::arange(5, 25), at::full({20}, 6.0f));
  EXPECT_EQ(queue.bufferRows(), 25);  // the need beats doubling
  EXPECT_EQ(longs(queue.index()), longs(at::arange(25)));
  EXPECT_EQ(longs(queue.pop(3).nodes), Longs({4, 3, 2}));
  EXPECT_EQ(longs(queue.index().narrow(0, 0, 3)), Longs({0, 1, 5}));
}

TEST(TorchOpenQueue, NarrowCostTypeRoundsBeforeOrdering) {
  // 1.0004 is 1.0 in float16, where insertion order breaks the tie.
  for (const auto& [type, want_first] :
       std::vector<std::pair<c10::ScalarType, std::int64_t>>{{at::kFloat, 2}, {at::kHalf, 1}}) {
    TorchOpenQueue queue(ids({1}), costs({1.0004f}), at::kLong, type, kCpu, 8, false);
    queue.append(ids({2}), costs({1.0f}));
    const TorchOpenQueue::Popped popped = queue.pop(1);
    EXPECT_EQ(popped.costs.scalar_type(), type);
    EXPECT_EQ(longs(popped.nodes), Longs({want_first})) << c10::toString(type);
  }
}

TEST(ClosedNodeIndex, FixedLengthThrowsWhenExceeded) {
  ClosedNodeIndex index(600, 0, kCpu, /*fixed=*/true);
  Longs want(600, -1);
  want[0] = 0;
  EXPECT_EQ(longs(index.values()), want);
  index.ensureLength(600);
  EXPECT_EQ(thrownMessage<std::runtime_error>([&] { index.ensureLength(601); }),
            "fixed CLOSED node-index capacity exhausted at capacity=600");
  EXPECT_EQ(index.length(), 600);
}

TEST(ClosedNodeIndex, AdaptiveDoublesAndKeepsContents) {
  struct Case {
    std::int64_t length, need, want;
  };
  for (const Case c : {Case{600, 601, 1200}, Case{600, 5000, 9600}, Case{600, 300, 600}, Case{0, 3, 4}}) {
    ClosedNodeIndex index(c.length, 7, kCpu, /*fixed=*/false);
    if (c.length > 1) {
      index.values()[c.length - 1] = 42;
    }
    Longs want = longs(index.values());
    want.resize(static_cast<std::size_t>(c.want), -1);
    index.ensureLength(c.need);
    EXPECT_EQ(longs(index.values()), want) << c.length << " -> " << c.need;
  }
}

}  // namespace
// States on a line: state s has the children s + 1 (move 0) and s + 2
// (move 1).
class LineEnv : public TorchEnv {
 public:
  LineEnv() { num_moves = 2, state_width = 1, state_dtype = at::kLong; }
  at::Tensor encodeState(const std::vector<std::uint8_t>&) const override { return at::zeros({1}, at::kLong); }
  at::Tensor decodeStates(const at::Tensor& states) const override { return states; }
  at::Tensor isSolved(const at::Tensor& states) const override { return states.eq(-1).view({-1}); }
  std::pair<at::Tensor, at::Tensor> expand(const at::Tensor& states) const override {
    return {at::stack({states + 1, states + 2}, 1), at::ones({2 * states.size(0)})};
  }
  std::vector<at::Tensor> networkInputs(const at::Tensor& states) const override { return {states.to(at::kFloat)}; }
};

// A path of 149 moves (more than one read of parent links), whose move k is
// k % 2, read back from either source; then broken links and a state no
// move reaches.
TEST(TorchSolutionPath, FollowsParentLinksAndRefusesBrokenOnes) {
  constexpr std::int64_t kNodes = 150;
  const at::Tensor node = at::arange(kNodes, at::kLong);
  const at::Tensor moves = (node - 1).remainder(2);
  const at::Tensor state = at::cat({at::zeros({1}, at::kLong), (moves.narrow(0, 1, kNodes - 1) + 1).cumsum(0)});
  const at::Tensor parent = node - 1;
  const auto makeStore = [&](c10::ScalarType parent_type = at::kLong) {
    TorchNodeStore store(1, kCpu, {at::kLong, at::kFloat, at::kFloat, at::kFloat, parent_type, at::kLong}, kNodes,
                         /*fixed=*/true);
    const at::Tensor zeros = at::zeros({kNodes});
    store.append({state.view({kNodes, 1}), node, zeros, zeros, zeros, zeros, parent, at::where(node.eq(0), -1, moves)});
    return store;
  };
  const LineEnv line;
  const Longs want = longs(moves.narrow(0, 1, kNodes - 1));
  for (c10::ScalarType parent_type : {at::kLong, at::kShort}) {  // narrow parent links index as well
    for (MoveSource source : {MoveSource::Infer, MoveSource::Stored}) {
      const std::vector<std::int32_t> got = reconstructMoves(makeStore(parent_type), line, kNodes - 1, source);
      EXPECT_EQ(Longs(got.begin(), got.end()), want);
    }
  }

  for (std::int64_t broken_parent : {120, 5000}) {  // a cycle, a link past the store
    TorchNodeStore store = makeStore();
    store.parentIndex()[100].fill_(broken_parent);
    EXPECT_EQ(thrownMessage<std::runtime_error>([&] { reconstructMoves(store, line, kNodes - 1, MoveSource::Stored); }),
              kParentCycleMessage);
  }
  TorchNodeStore store = makeStore();
  store.states()[50].fill_(-7);
  EXPECT_EQ(thrownMessage<std::runtime_error>([&] { reconstructMoves(store, line, kNodes - 1, MoveSource::Infer); }),
            kTorchInferMoveMessage);
}

}  // namespace kestrel

// ---- CPU block cache

// While a scope is open, a large freed block serves the next allocation of
// about its size (never one of over twice its size), and its bytes are
// untouched by the cache. Memory handed out raw, before a scope or during
// one, goes back through the allocator in place. Closing the last scope
// restores the allocator it replaced, and a tensor that outlives every scope
// is still freed normally.
TEST(CpuBlockCache, ReusesLargeBlocksWhileAScopeIsOpen) {
  c10::Allocator* before = c10::GetCPUAllocator();
  void* raw_before = before->raw_allocate(3 << 20);
  at::Tensor survivor;
  {
    kestrel::CpuBlockCacheScope outer;
    c10::Allocator* cache = c10::GetCPUAllocator();
    EXPECT_NE(cache, before);
    cache->raw_deallocate(raw_before);
    const void* freed = nullptr;
    {
      at::Tensor block = at::full({2 << 20}, 7, at::kByte);
      freed = block.data_ptr();
    }
    {
      kestrel::CpuBlockCacheScope inner;
      at::Tensor again = at::empty({(2 << 20) - 4096}, at::kByte);
      EXPECT_EQ(again.data_ptr(), freed);
      EXPECT_EQ(again.max().item<int>(), 7);
    }
    EXPECT_EQ(c10::GetCPUAllocator(), cache);  // the outer scope is still open
    at::Tensor larger = at::empty({5 << 20}, at::kByte);
    EXPECT_NE(larger.data_ptr(), freed);
    void* raw = cache->raw_allocate(2 << 20);
    EXPECT_EQ(raw, freed);
    cache->raw_deallocate(raw);
    survivor = at::ones({1 << 20}, at::kFloat);
  }
  EXPECT_EQ(c10::GetCPUAllocator(), before);
  EXPECT_EQ(survivor.sum().item<float>(), static_cast<float>(1 << 20));
  survivor.reset();
}
