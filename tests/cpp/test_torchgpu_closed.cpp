#include <ATen/ATen.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "kestrel/solve/probe_sequence.h"
#include "kestrel/torchgpu/closed_table.h"
#include "kestrel/torchgpu/counting.h"
#include "kestrel/torchgpu/hashing.h"
#include "kestrel/torchgpu/sort_keys.h"
#include "support/expect_error.h"

namespace {

using kestrel::LookupWork;
using kestrel::ProbeScheme;
using kestrel::TorchClosedTable;
using kestrel::testing::expectErrorStartingWith;

const ProbeScheme kSchemes[] = {ProbeScheme::LinearProbing, ProbeScheme::PythonDict};
const std::vector<std::uint64_t> kWords = {0,
                                           1,
                                           ~0ULL,
                                           1ULL << 63,
                                           ~0ULL >> 1,
                                           0xFFFFFFFFULL,
                                           0xFFFFFFFF00000000ULL,
                                           0xDEADBEEFCAFEBABEULL,
                                           0x9E3779B97F4A7C15ULL,
                                           0x0123456789ABCDEFULL};

at::Tensor longs(const std::vector<std::int64_t>& values) { return at::tensor(values, at::kLong); }
at::Tensor floats(const std::vector<float>& values) { return at::tensor(values, at::kFloat); }
at::Tensor bools(const std::vector<std::int64_t>& values) { return longs(values).to(at::kBool); }
at::Tensor wordTensor() { return longs(std::vector<std::int64_t>(kWords.begin(), kWords.end())); }
std::uint64_t word(const at::Tensor& t, std::int64_t i) {
  return static_cast<std::uint64_t>(t[i].item<std::int64_t>());
}

TorchClosedTable makeTable(std::int64_t width, std::int64_t capacity, ProbeScheme scheme = ProbeScheme::PythonDict,
                           bool fixed = false) {
  return TorchClosedTable(width, c10::Device(c10::kCPU), at::kLong, at::kFloat, capacity, scheme, fixed);
}

// Distinct keys: row i is 7919 * (offset + i) + column.
at::Tensor counterKeys(std::int64_t count, std::int64_t width, std::int64_t offset = 0) {
  return at::arange(offset, offset + count, at::kLong).unsqueeze(1) * 7919 + at::arange(width, at::kLong);
}

std::uint64_t splitMixReference(std::uint64_t z) {
  z += 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::uint64_t shortMixReference(std::uint64_t z) {
  z = (z ^ (z >> 31)) * 0xBF58476D1CE4E5B9ULL;
  return z ^ static_cast<std::uint64_t>(static_cast<std::int64_t>(z) >> 29);  // the arithmetic shift
}

TEST(TorchHashing, MatchesUnsignedReference) {
  const at::Tensor mixed = kestrel::splitMix64(wordTensor());
  const at::Tensor short_mixed = kestrel::shortMix63(wordTensor());
  for (std::size_t i = 0; i < kWords.size(); ++i) {
    EXPECT_EQ(word(mixed, i), splitMixReference(kWords[i])) << kWords[i];
    EXPECT_EQ(word(short_mixed, i), shortMixReference(kWords[i])) << kWords[i];
    EXPECT_LT(word(short_mixed, i), std::uint64_t{1} << 63) << kWords[i];
  }
  for (int bits = 1; bits < 32; ++bits) {
    const at::Tensor shifted = kestrel::logicalShiftRight(wordTensor(), bits);
    for (std::size_t i = 0; i < kWords.size(); ++i) EXPECT_EQ(word(shifted, i), kWords[i] >> bits) << bits;
  }
}

// Both CLOSED tables step the same policies: the host with unsigned shifts,
// the tensor table with the logical shift. Their sequences must not drift.
TEST(TorchHashing, ProbePoliciesAgreeOnHostAndTensors) {
  const std::uint64_t mask = 1023;
  const at::Tensor mask_tensor = longs({static_cast<std::int64_t>(mask)});
  for (ProbeScheme scheme : kSchemes) {
    at::Tensor positions = kestrel::homeSlot(wordTensor(), mask_tensor), perturbations = wordTensor();
    std::vector<kestrel::ProbeSequence> host;
    for (std::uint64_t w : kWords) host.emplace_back(scheme, w, mask);
    for (int step = 0; step < 40; ++step) {
      for (std::size_t i = 0; i < kWords.size(); ++i) {
        ASSERT_EQ(word(positions, i), host[i].index()) << kWords[i] << " at step " << step;
        host[i].advance();
      }
      positions =
          scheme == ProbeScheme::LinearProbing
              ? kestrel::LinearProbing::next(positions, perturbations, mask_tensor, kestrel::logicalShiftRight)
              : kestrel::PythonDictProbing::next(positions, perturbations, mask_tensor, kestrel::logicalShiftRight);
    }
  }
}

// A lookup gathers blocks of probes at once; each probe must be the
// position that stepping the policy reaches, for any hash (the sign bit and
// shifts past 64 bits included), and the state after the block must go on
// where stepping does. Blocks told that the perturbations are non-negative
// must agree on such hashes.
TEST(TorchHashing, ProbeBlocksFollowTheStepwiseSequence) {
  const at::Tensor mask = longs({(std::int64_t{1} << 40) - 1});
  using kestrel::Perturbations;
  for (const auto& [scheme, sign] : {std::pair{ProbeScheme::LinearProbing, Perturbations::Any},
                                     {ProbeScheme::PythonDict, Perturbations::Any},
                                     {ProbeScheme::LinearProbing, Perturbations::NonNegative},
                                     {ProbeScheme::PythonDict, Perturbations::NonNegative}}) {
    const auto hashes = [sign = sign] {
      return sign == Perturbations::Any ? wordTensor() : wordTensor() & std::numeric_limits<std::int64_t>::max();
    };
    at::Tensor positions = kestrel::homeSlot(hashes(), mask), perturbations = hashes();
    // A lookup's first block starts from the unmasked hashes; both ways of
    // starting there must agree.
    const kestrel::ProbeColumns five = kestrel::probeColumns(5, c10::Device(c10::kCPU));
    const kestrel::ProbeBlock from_hashes = kestrel::probeBlockFromHashes(scheme, hashes(), mask, five, sign);
    const kestrel::ProbeBlock from_both = kestrel::probeBlock(scheme, hashes(), hashes(), mask, five, sign);
    EXPECT_TRUE(from_hashes.positions.equal(from_both.positions));
    EXPECT_TRUE(from_hashes.next_positions.equal(from_both.next_positions));
    EXPECT_TRUE(from_hashes.next_perturbations.equal(from_both.next_perturbations));
    at::Tensor block_positions = hashes(), block_perturbations = perturbations;
    for (std::int64_t count : {1, 4, 16, 3}) {
      const kestrel::ProbeColumns columns = kestrel::probeColumns(count, c10::Device(c10::kCPU));
      const kestrel::ProbeBlock block =
          count == 1 ? kestrel::probeBlockFromHashes(scheme, block_perturbations, mask, columns, sign)
                     : kestrel::probeBlock(scheme, block_positions, block_perturbations, mask, columns, sign);
      ASSERT_EQ(block.positions.sizes(), (at::IntArrayRef{count, static_cast<std::int64_t>(kWords.size())}));
      for (std::int64_t k = 0; k < count; ++k) {
        ASSERT_TRUE(block.positions.select(0, k).equal(positions)) << "probe " << k << " of " << count;
        ASSERT_TRUE(block.perturbations.select(0, k).equal(perturbations)) << "probe " << k << " of " << count;
        positions = scheme == ProbeScheme::LinearProbing
                        ? kestrel::LinearProbing::next(positions, perturbations, mask, kestrel::logicalShiftRight)
                        : kestrel::PythonDictProbing::next(positions, perturbations, mask, kestrel::logicalShiftRight);
      }
      EXPECT_TRUE(block.next_positions.equal(positions));
      EXPECT_TRUE(block.next_perturbations.equal(perturbations));
      block_positions = block.next_positions;
      block_perturbations = block.next_perturbations;
    }
  }
}

// Probes compare hashes before keys: a stored key that shares a row's hash
// must not be taken for it, and the row must probe on past it.
// Also for one-byte keys of sixteen columns, compared as two 64-bit words.
// On either side of the sizes where the CPU sort takes a padded copy: the
// same values and positions as LibTorch's own stable sort, with ties among
// values and with the largest value, which the padding also holds.
TEST(TorchSorting, StableSortMatchesTheLibrarysStableSort) {
  at::manual_seed(5);
  for (std::int64_t n : {0, 1, 3499, 3500, 4999, 5000, 13001, 16383, 16384, 32767, 32768, 40000}) {
    // Ties, the padding's value, and values that differ in every byte.
    at::Tensor values = at::randint(-3, 4, {n}, at::kLong);
    values.masked_fill_(values.eq(3), std::numeric_limits<std::int64_t>::max());
    values.masked_fill_(values.eq(-3), std::numeric_limits<std::int64_t>::min());
    values =
        at::where(values.eq(2), at::randint(-(std::int64_t{1} << 62), std::int64_t{1} << 62, {n}, at::kLong), values);
    const auto [sorted, order] = kestrel::stableSort(values);
    const auto [expected_sorted, expected_order] = values.sort(std::optional<bool>(true), 0);
    EXPECT_TRUE(sorted.equal(expected_sorted)) << n;
    EXPECT_TRUE(order.equal(expected_order)) << n;
  }
  const at::Tensor strided = at::randint(-3, 4, {8000}, at::kLong).slice(0, 0, 8000, 2);
  EXPECT_TRUE(std::get<1>(kestrel::stableSort(strided)).equal(std::get<1>(strided.sort(std::optional<bool>(true), 0))));
}

TEST(TorchClosedTable, LookupIsExactWhenDifferentKeysShareAHash) {
  for (const auto& [scheme, key_dtype] : {std::pair{ProbeScheme::LinearProbing, at::kLong},
                                          {ProbeScheme::PythonDict, at::kLong},
                                          {ProbeScheme::PythonDict, at::kByte}}) {
    const std::int64_t width = key_dtype == at::kByte ? 16 : 2;
    TorchClosedTable table(width, c10::Device(c10::kCPU), key_dtype, at::kFloat, 64, scheme, false);
    // Rows 0 and 1 are stored; row 2 differs from row 0 in its last column.
    const at::Tensor rows = (at::arange(1, width + 1, at::kLong) + at::tensor({0, 20, 0}).unsqueeze(1)).contiguous();
    rows[2][width - 1] = 99;
    const at::Tensor stored = rows.slice(0, 0, 2).flip(0).to(key_dtype);
    const at::Tensor same_hashes = longs({5, 5});
    table.insert(stored, floats({1, 2}), same_hashes, table.lookup(stored, same_hashes));
    const at::Tensor queries = rows.index_select(0, longs({0, 2, 1})).to(key_dtype);
    const TorchClosedTable::Lookup found = table.lookup(queries, longs({5, 5, 5}));
    EXPECT_TRUE(found.found.equal(bools({1, 0, 1})));
    EXPECT_TRUE(found.entry.equal(longs({1, -1, 0})));
    EXPECT_GE(found.slot[1].item<std::int64_t>(), 0);  // the first free slot past both
    EXPECT_NE(found.slot[1].item<std::int64_t>(), found.slot[0].item<std::int64_t>());
    EXPECT_NE(found.slot[1].item<std::int64_t>(), found.slot[2].item<std::int64_t>());
  }
}

// The same when the first stored hash equal to a row's lies past the first
// block of probes: nine keys of other hashes fill the home slot and the
// eight after it, then a key shares the row's hash.
TEST(TorchClosedTable, LookupIsExactWhenTheSharedHashLiesPastTheFirstBlock) {
  TorchClosedTable table = makeTable(2, 64, ProbeScheme::LinearProbing);
  const at::Tensor fillers = counterKeys(9, 2, 100), filler_hashes = at::arange(1, 10, at::kLong) * 64 + 5;
  table.insert(fillers, at::zeros({9}), filler_hashes, table.lookup(fillers, filler_hashes));
  const at::Tensor stored = longs({1, 2}).view({1, 2});
  table.insert(stored, floats({1}), longs({5}), table.lookup(stored, longs({5})));
  const TorchClosedTable::Lookup found = table.lookup(longs({3, 4, 1, 2}).view({2, 2}), longs({5, 5}));
  EXPECT_TRUE(found.found.equal(bools({0, 1})));
  EXPECT_TRUE(found.entry.equal(longs({-1, 9})));
  EXPECT_TRUE(found.slot.equal(longs({15, 14})));
}

// The host loop answers every lookup field as the tensor blocks do, for
// stored keys, missing keys and missing keys that share a stored key's hash
// (keys i and i + 600 share one), in both key checks, in a table near its
// highest load; and both place the same entries in the same slots.
TEST(TorchClosedTable, HostLoopLooksUpAsTheTensorBlocksDo) {
  // Keys i and i + shared share a hash. The large batch is split across threads.
  for (const auto& [stored, capacity, shared] : {std::tuple{650, 1024, 600}, {20000, 32768, 19000}}) {
    const auto hashesOf = [shared = shared](std::int64_t count) {
      return kestrel::splitMix64(at::arange(count, at::kLong) % shared);
    };
    for (ProbeScheme scheme : kSchemes) {
      const auto filled = [&](LookupWork work) {
        TorchClosedTable table(2, c10::Device(c10::kCPU), at::kLong, at::kFloat, capacity, scheme, false, work);
        const at::Tensor keys = counterKeys(stored, 2);
        table.insert(keys, at::zeros({stored}), hashesOf(stored), table.lookup(keys, hashesOf(stored)));
        return table;
      };
      const TorchClosedTable host = filled(LookupWork::HostLoop), blocks = filled(LookupWork::TensorBlocks);
      ASSERT_EQ(host.capacity(), capacity);
      ASSERT_TRUE(host.slots().equal(blocks.slots()));
      const at::Tensor queries = counterKeys(2 * stored, 2);  // the stored ones, then as many others
      for (auto check : {TorchClosedTable::KeyCheck::Compare, TorchClosedTable::KeyCheck::Skip}) {
        const auto a = host.lookup(queries, hashesOf(2 * stored), check);
        const auto b = blocks.lookup(queries, hashesOf(2 * stored), check);
        EXPECT_TRUE(a.found.equal(b.found));
        EXPECT_TRUE(a.slot.equal(b.slot));
        EXPECT_TRUE(a.entry.equal(b.entry));
        EXPECT_TRUE(a.perturbation.equal(b.perturbation));
        EXPECT_TRUE(a.steps.equal(b.steps));
        EXPECT_EQ(a.every_row_stopped, b.every_row_stopped);
        EXPECT_GE(b.probes, a.probes);  // the host's bound is the tightest
        EXPECT_GT(a.probes, a.steps.max().item<std::int64_t>());
        // Skipping the keys, every query meets a stored key of its hash.
        EXPECT_EQ(a.found.sum().item<std::int64_t>(),
                  check == TorchClosedTable::KeyCheck::Compare ? stored : 2 * stored);
      }
    }
  }
  const auto hashesOf = [](std::int64_t count) { return kestrel::splitMix64(at::arange(count, at::kLong)); };
  for (ProbeScheme scheme : kSchemes) {
    // A full table: a missing key never stops, in either way.
    const auto full = [&](LookupWork work) {
      TorchClosedTable table(2, c10::Device(c10::kCPU), at::kLong, at::kFloat, 8, scheme, true, work);
      table.insert(counterKeys(8, 2), at::zeros({8}), hashesOf(8), table.lookup(counterKeys(8, 2), hashesOf(8)));
      return table.lookup(counterKeys(10, 2), hashesOf(10));
    };
    const TorchClosedTable::Lookup a = full(LookupWork::HostLoop), b = full(LookupWork::TensorBlocks);
    EXPECT_TRUE(a.found.equal(b.found));
    EXPECT_TRUE(a.slot.equal(b.slot));
    EXPECT_TRUE(a.entry.equal(b.entry));
    EXPECT_TRUE(a.slot.narrow(0, 8, 2).equal(longs({-1, -1})));
    EXPECT_FALSE(a.every_row_stopped);
    EXPECT_FALSE(b.every_row_stopped);
    EXPECT_GT(a.probes, a.steps.max().item<std::int64_t>());
  }
}

TEST(TorchClosedTable, ChunkedHashingMatchesWholeRows) {
  // 131072 rows of width 40 hash in column chunks of 16, 16 and 8; 64 rows
  // hash all columns at once.
  TorchClosedTable table = makeTable(40, 8);
  at::manual_seed(7);
  const at::Tensor keys = at::randint(-(std::int64_t{1} << 40), std::int64_t{1} << 40, {131072, 40}, at::kLong);
  const at::Tensor chunked = table.hashKeys(keys).slice(0, 0, 64);
  EXPECT_TRUE(chunked.equal(table.hashKeys(keys.slice(0, 0, 64))));
  EXPECT_EQ(std::get<0>(at::_unique(chunked)).size(0), 64);
}

// One-byte keys of sixteen columns hash two 64-bit words at a time: a row
// hashes alike wherever it sits (at an offset, in a non-contiguous view) and
// every single changed byte changes the hash.
TEST(TorchClosedTable, NarrowKeysHashByTheirBytes) {
  const TorchClosedTable table(16, c10::Device(c10::kCPU), at::kByte, at::kFloat, 8, ProbeScheme::PythonDict, false);
  at::manual_seed(3);
  const at::Tensor keys = at::randint(0, 256, {64, 16}, at::kLong).to(at::kByte);
  const at::Tensor hashes = table.hashKeys(keys);
  EXPECT_TRUE(table.hashKeys(keys.slice(0, 5, 9)).equal(hashes.slice(0, 5, 9)));
  EXPECT_TRUE(table.hashKeys(keys.t().contiguous().t()).equal(hashes));
  const at::Tensor changed = keys[0].repeat({16, 1}) ^ at::eye(16, at::kByte);
  EXPECT_EQ(std::get<0>(at::_unique(at::cat({table.hashKeys(changed), hashes.slice(0, 0, 1)}))).size(0), 17);
}

TEST(TorchClosedTable, CapacityIsAPowerOfTwoOfAtLeastEight) {
  for (const auto& [requested, expected] : {std::pair{1000, 1024}, {5, 8}, {1024, 1024}, {0, 8}}) {
    const TorchClosedTable table = makeTable(3, requested);
    EXPECT_EQ(table.capacity(), expected);
    EXPECT_EQ(table.entryCapacity(), expected);
    EXPECT_EQ(table.slots().size(0), expected);
    EXPECT_TRUE(table.slots().eq(-1).all().item<bool>());
  }
}

TEST(TorchClosedTable, SlotsGrowOrFailAtTwoThirdsLoad) {
  for (bool fixed : {false, true}) {
    TorchClosedTable table = makeTable(2, 1024, ProbeScheme::LinearProbing, fixed);
    table.filter(counterKeys(682, 2), at::zeros({682}));
    EXPECT_EQ(table.capacity(), 1024);
    const auto add683rd = [&] { table.filter(counterKeys(1, 2, 682), at::zeros({1})); };
    if (fixed) {
      expectErrorStartingWith<std::runtime_error>(add683rd, "fixed CLOSED capacity exhausted at capacity=1024");
    } else {
      add683rd();
      EXPECT_EQ(table.capacity(), 2048);
      EXPECT_EQ(table.usedSlots(), 683);
    }
  }
}

TEST(TorchClosedTable, EntryArraysGrowKeepingRowsOrFailWhenFixed) {
  TorchClosedTable adaptive = makeTable(3, 8);
  const at::Tensor keys = counterKeys(20, 3);
  adaptive.filter(keys.slice(0, 0, 5), at::arange(5, at::kFloat));
  adaptive.filter(keys.slice(0, 5), at::arange(5, 20, at::kFloat));
  EXPECT_EQ(adaptive.entryCapacity(), 32);
  EXPECT_TRUE(adaptive.keys().slice(0, 0, 20).equal(keys));
  EXPECT_TRUE(adaptive.costs().slice(0, 0, 20).equal(at::arange(20, at::kFloat)));

  // Entries outgrow a fixed table's slots only through insert without reserve.
  TorchClosedTable fixed = makeTable(3, 8, ProbeScheme::LinearProbing, true);
  const at::Tensor nine = counterKeys(9, 3), hashes = fixed.hashKeys(nine);
  expectErrorStartingWith<std::runtime_error>(
      [&] { fixed.insert(nine, at::zeros({9}), hashes, fixed.lookup(nine, hashes)); },
      "fixed CLOSED entry capacity exhausted at capacity=8");
}

// Two new entries of one home slot: in tensor blocks the larger id takes it,
// in the host loop the first row; the other probes on.
TEST(TorchClosedTable, SharedHomeSlotGoesToTheLargerIdInBlocksAndTheFirstRowOnTheHost) {
  for (const auto& [work, home_entry] : {std::pair{LookupWork::TensorBlocks, 1}, {LookupWork::HostLoop, 0}}) {
    for (ProbeScheme scheme : kSchemes) {
      TorchClosedTable table(2, c10::Device(c10::kCPU), at::kLong, at::kFloat, 64, scheme, false, work);
      const at::Tensor candidates = counterKeys(200, 2), hashes = table.hashKeys(candidates);
      const at::Tensor home = hashes & 63;
      std::int64_t later = 1;
      while (!home.slice(0, 0, later).eq(home[later]).any().item<bool>()) ++later;
      const std::int64_t earlier = home.slice(0, 0, later).eq(home[later]).nonzero()[0][0].item<std::int64_t>();
      table.filter(at::stack({candidates[later], candidates[earlier]}), at::zeros({2}));
      // The loser's next probe past the home slot (a sequence may return to it).
      const std::int64_t loser = home_entry == 1 ? later : earlier;
      kestrel::ProbeSequence probe(scheme, word(hashes, loser), 63);
      const std::uint64_t home_slot = probe.index();
      EXPECT_EQ(table.slots()[home_slot].item<std::int64_t>(), home_entry);
      while (probe.index() == home_slot) probe.advance();
      EXPECT_EQ(table.slots()[probe.index()].item<std::int64_t>(), 1 - home_entry);
    }
  }
}

TEST(TorchClosedTable, FilterAcceptsStrictImprovementsInBatchOrder) {
  struct Case {
    std::vector<float> stored, costs;  // earlier single-child batches, then one batch of the same state
    std::vector<std::int64_t> accept;
    float best;
  };
  const Case cases[] = {
      {{}, {5, 3, 4}, {1, 1, 0}, 3}, {{4}, {5, 3, 4}, {0, 1, 0}, 3}, {{3}, {3}, {0}, 3}, {{}, {2, 2}, {1, 0}, 2}};
  const at::Tensor state = longs({4, 2});
  for (const Case& c : cases) {
    TorchClosedTable table = makeTable(2, 8);
    for (float cost : c.stored) table.filter(state, floats({cost}));
    const auto rows = static_cast<std::int64_t>(c.costs.size());
    EXPECT_TRUE(table.filter(state.expand({rows, 2}), floats(c.costs)).accept.equal(bools(c.accept))) << c.best;
    EXPECT_EQ(table.size(), 1);
    EXPECT_EQ(table.costs()[0].item<float>(), c.best);
  }
}

TEST(TorchClosedTable, FilterInPlaceReturnsEntriesOfAcceptedChildren) {
  TorchClosedTable table = makeTable(2, 8);
  table.filter(longs({1, 1}), floats({4}));
  const at::Tensor children = longs({9, 9, 1, 1, 9, 9, 5, 5}).reshape({-1, 2});
  const auto filtered = table.filter(children, floats({2, 5, 1, 3}));
  EXPECT_TRUE(filtered.accept.equal(bools({1, 0, 1, 1})));
  const at::Tensor entries = filtered.entries, kept = longs({0, 2, 3});
  EXPECT_EQ(entries[1].item<std::int64_t>(), -1);
  EXPECT_TRUE(table.keys().index_select(0, entries.index_select(0, kept)).equal(children.index_select(0, kept)));
  EXPECT_TRUE(table.costs().index_select(0, longs({0})).equal(floats({4})));
  EXPECT_TRUE(table.costs().index_select(0, entries.slice(0, 2)).equal(floats({1, 3})));
}

// The host learns how many children, or how many states, the filter keeps,
// and selects them with that count: a wrong count would select wrong rows.
TEST(TorchClosedTable, FilterCountsKeptChildrenOrStates) {
  for (const auto keep : {TorchClosedTable::Keep::Accepted, TorchClosedTable::Keep::CheapestPerState}) {
    TorchClosedTable table = makeTable(2, 8);
    table.filter(longs({1, 1}), floats({4}));
    // State 9 improves twice (5 then 2), state 1 once, state 7 is new, 1's second child loses.
    const at::Tensor children = longs({9, 9, 1, 1, 9, 9, 7, 7, 1, 1}).reshape({-1, 2});
    const auto filtered = table.filter(children, floats({5, 3, 2, 6, 3}), keep);
    EXPECT_TRUE(filtered.accept.equal(bools({1, 1, 1, 1, 0})));
    EXPECT_EQ(filtered.kept, keep == TorchClosedTable::Keep::Accepted ? 4 : 3);
    EXPECT_TRUE(filtered.kept_rows.equal(keep == TorchClosedTable::Keep::Accepted ? bools({1, 1, 1, 1, 0})
                                                                                  : bools({0, 1, 1, 1, 0})));
  }
}

// Children of one state are ordered by cost with negative costs and zeros of
// both signs among them: a child is accepted only below every earlier one.
TEST(TorchClosedTable, FilterOrdersNegativeAndSignedZeroCosts) {
  TorchClosedTable table = makeTable(2, 8);
  const at::Tensor children = longs({4, 4, 6, 6, 4, 4, 6, 6, 4, 4, 6, 6}).reshape({-1, 2});
  const auto filtered = table.filter(children, floats({-1, 0.0f, -3, -0.0f, -2, -1}));
  EXPECT_TRUE(filtered.accept.equal(bools({1, 1, 1, 0, 0, 1})));
  // The states' entries come in hash order: read each through its last accepted child.
  EXPECT_TRUE(table.costs().index_select(0, filtered.entries.index_select(0, longs({2, 5}))).equal(floats({-3, -1})));
}

// Float keys hash through their integer parts, so 0.25 and 0.5 share a hash:
// the batch's states are then numbered by sorting keys, and each child must
// still be matched with its own state's entry and cost.
TEST(TorchClosedTable, FilterKeepsEachChildWithItsStateWhenDistinctKeysShareAHash) {
  TorchClosedTable table(1, c10::Device(c10::kCPU), at::kFloat, at::kFloat, 8, ProbeScheme::LinearProbing, false);
  const at::Tensor children = floats({0.5f, 0.25f});
  const auto filtered = table.filter(children.view({2, 1}), floats({1, 2}));
  EXPECT_TRUE(filtered.accept.equal(bools({1, 1})));
  EXPECT_TRUE(table.keys().index_select(0, filtered.entries).view({-1}).equal(children));
  EXPECT_TRUE(table.costs().index_select(0, filtered.entries).equal(floats({1, 2})));
  const auto again = table.filter(children.view({2, 1}), floats({0.5f, 3}));
  EXPECT_TRUE(again.accept.equal(bools({1, 0})));
}

// Widely spread costs over many states, with quarter steps within a state: a
// running minimum over costs offset by state * cost range would round those
// steps away in float32. Per state: +0.5, +0.25 (better), +0.25 (not better).
TEST(TorchClosedTable, FilterIsExactForManyStatesWithSpreadCosts) {
  const std::int64_t states = 5000;
  TorchClosedTable table = makeTable(1, 8);
  const at::Tensor state = at::arange(states, at::kLong).unsqueeze(1);
  const at::Tensor base = at::arange(states, at::kFloat) * 20;
  const at::Tensor costs = at::cat({base + 0.5f, base + 0.25f, base + 0.25f});
  const at::Tensor accept = table.filter(state.repeat({3, 1}), costs).accept;
  EXPECT_TRUE(accept.slice(0, 0, 2 * states).all().item<bool>());
  EXPECT_FALSE(accept.slice(0, 2 * states).any().item<bool>());
  const at::Tensor entries = table.lookup(state, table.hashKeys(state)).entry;
  EXPECT_TRUE(table.costs().index_select(0, entries).equal(base + 0.25f));
}

// Rows group by hash; equal hashes of different keys (a 64-bit collision,
// forced here) must still make separate groups.
// Byte keys of two columns compare column by column, those of eight as one
// 64-bit word; two keys differ in their last byte only.
TEST(TorchClosedTable, DedupeGroupsEqualKeysOnlyEvenWhenHashesCollide) {
  for (const LookupWork work : {LookupWork::TensorBlocks, LookupWork::HostLoop}) {
    for (const std::int64_t width : {2, 8}) {
      const TorchClosedTable table(width, c10::Device(c10::kCPU), at::kLong, at::kFloat, 8, ProbeScheme::PythonDict,
                                   false, work);
      const at::Tensor first = at::arange(1, width + 1, at::kLong);
      const at::Tensor second = first + at::eye(width, at::kLong)[width - 1];
      const at::Tensor keys = at::stack({first, second, first, second, second}).to(at::kByte);
      const auto equal = table.dedupeBatch(keys, longs({7, 9, 7, 9, 9}));
      EXPECT_TRUE(equal.group.equal(longs({0, 1, 0, 1, 1}))) << width;
      EXPECT_TRUE(equal.keys.equal(keys.slice(0, 0, 2))) << width;
      EXPECT_TRUE(equal.hashes.equal(longs({7, 9}))) << width;
      // Group after group, batch order within each.
      EXPECT_TRUE(equal.order.equal(longs({0, 2, 1, 3, 4}))) << width;
      EXPECT_TRUE(equal.order_groups.equal(longs({0, 0, 1, 1, 1}))) << width;

      const auto collided = table.dedupeBatch(keys, longs({5, 5, 5, 5, 5}));
      EXPECT_EQ(collided.keys.size(0), 2) << width;
      EXPECT_TRUE(collided.group.index_select(0, longs({0, 2})).equal(collided.group.index_select(0, longs({2, 0}))));
      EXPECT_TRUE(collided.group.index_select(0, longs({1, 3})).equal(collided.group.index_select(0, longs({4, 4}))));
      EXPECT_FALSE(collided.group[0].item<std::int64_t>() == collided.group[1].item<std::int64_t>()) << width;
      EXPECT_TRUE(collided.keys.index_select(0, collided.group).equal(keys)) << width;
    }
  }
}

// "in_place" keeps one child per improved state: its cheapest, the first in
// batch order on equal cost (signed zeros tie; NaN is never the cheapest).
TEST(TorchClosedTable, FilterKeepsTheCheapestChildOfEachImprovedState) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::tuple<std::vector<std::int64_t>, std::vector<float>, std::vector<std::int64_t>> cases[] = {
      {{7, 3, 7}, {2, 5, 2}, {1, 1, 0}},
      {{4, 4, 4}, {3, 1, 1}, {0, 1, 0}},
      {{6, 2, 6, 2}, {1, 9, 0, 8}, {0, 0, 1, 1}},
      {{5}, {1}, {1}},
      {{8, 8}, {-0.0f, 0.0f}, {1, 0}},
      {{8, 8}, {nan, 1}, {0, 1}}};
  // float64 costs decide along another order than 32-bit ones.
  for (const c10::ScalarType cost_dtype : {at::kFloat, at::kDouble}) {
    for (const auto& [states, costs, kept] : cases) {
      TorchClosedTable table(1, c10::Device(c10::kCPU), at::kLong, cost_dtype, 8, ProbeScheme::PythonDict, false);
      const auto filtered = table.filter(longs(states).view({-1, 1}), floats(costs).to(cost_dtype),
                                         TorchClosedTable::Keep::CheapestPerState);
      EXPECT_TRUE(filtered.kept_rows.equal(bools(kept)));
      EXPECT_EQ(filtered.kept, bools(kept).sum().item<std::int64_t>());
    }
  }
}

// A state whose children cost NaN and 1, new or stored at 2, keeps the cost
// 1 of the child it accepts: a later child is accepted only below it.
TEST(TorchClosedTable, FilterNeverKeepsANaNCostBesideACheaperChild) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const c10::ScalarType cost_dtype : {at::kFloat, at::kDouble}) {
    for (const bool stored : {false, true}) {
      for (const std::vector<float>& costs : {std::vector<float>{nan, 1}, {1, nan}}) {
        TorchClosedTable table(1, c10::Device(c10::kCPU), at::kLong, cost_dtype, 8, ProbeScheme::PythonDict, false);
        const auto filter = [&](std::vector<std::int64_t> states, std::vector<float> child_costs) {
          return table.filter(longs(states).view({-1, 1}), floats(child_costs).to(cost_dtype)).accept;
        };
        if (stored) filter({8}, {2});
        filter({8, 8}, costs);
        EXPECT_EQ(table.costs()[0].item<double>(), 1) << stored;
        EXPECT_TRUE(filter({8}, {1.5f}).equal(bools({0}))) << stored;
        EXPECT_TRUE(filter({8}, {0.5f}).equal(bools({1}))) << stored;
      }
    }
  }
}

TEST(TorchClosedTable, NormalizeKeysRejectsOtherShapes) {
  const TorchClosedTable table = makeTable(3, 8);
  const char* shape_error = "Keys must have shape (B, key_width)";
  for (const auto& [shape, message] : {std::pair<std::vector<std::int64_t>, const char*>{{2, 4}, shape_error},
                                       {{2, 3, 1}, shape_error},
                                       {{2}, "Key width mismatch"}}) {
    expectErrorStartingWith<std::invalid_argument>([&] { table.normalizeKeys(at::zeros(shape, at::kLong)); }, message);
  }
  EXPECT_EQ(table.normalizeKeys(at::ones({3}, at::kInt)).sizes(), (std::vector<std::int64_t>{1, 3}));
}

TEST(TorchClosedTable, LookupFindsEveryKeyAfterGrowth) {
  for (ProbeScheme scheme : kSchemes) {
    TorchClosedTable table = makeTable(3, 8, scheme);
    const at::Tensor keys = counterKeys(300, 3);
    for (std::int64_t begin = 0; begin < 300; begin += 30) {
      table.filter(keys.slice(0, begin, begin + 30), at::zeros({30}));
    }
    EXPECT_EQ(table.capacity(), 512);
    EXPECT_EQ(table.usedSlots(), 300);
    // Stored keys claim only the slots that already hold them.
    table.filter(keys.slice(0, 0, 30), at::zeros({30}));
    EXPECT_EQ(table.usedSlots(), 300);
    EXPECT_EQ(table.size(), 300);
    const auto found = table.lookup(keys, table.hashKeys(keys));
    EXPECT_TRUE(found.entry.equal(at::arange(300, at::kLong)));
    EXPECT_TRUE(table.slots().index_select(0, found.slot).equal(found.entry));
    const at::Tensor unseen = counterKeys(50, 3, 300);
    const at::Tensor unseen_hashes = table.hashKeys(unseen);
    const auto missing = table.lookup(unseen, unseen_hashes);
    EXPECT_FALSE(missing.found.any().item<bool>());
    // Each row's slot is `steps` probes along its sequence, the first empty
    // one for a missing key.
    for (std::int64_t row = 0; row < 50; ++row) {
      kestrel::ProbeSequence probe(scheme, word(unseen_hashes, row), 511);
      for (std::int64_t step = 0; step < missing.steps[row].item<std::int64_t>(); ++step) {
        EXPECT_GE(table.slots()[probe.index()].item<std::int64_t>(), 0);
        probe.advance();
      }
      EXPECT_EQ(static_cast<std::int64_t>(probe.index()), missing.slot[row].item<std::int64_t>());
      EXPECT_EQ(table.slots()[probe.index()].item<std::int64_t>(), -1);
    }
  }
}

// One batch whose keys meet in slots again and again: about half a table of
// new keys at once, into an empty table and into one already half full (or,
// from a tiny adaptive table, re-placed as it grows). Every key must end in
// exactly one slot, found at its own entry.
TEST(TorchClosedTable, FilterPlacesEveryKeyOfALargeBatch) {
  for (const auto& [scheme, capacity] : {std::pair{ProbeScheme::LinearProbing, 8192},
                                         {ProbeScheme::PythonDict, 8192},
                                         {ProbeScheme::LinearProbing, 8},
                                         {ProbeScheme::PythonDict, 8}}) {
    TorchClosedTable table = makeTable(2, capacity, scheme, /*fixed=*/capacity > 8);
    const at::Tensor keys = counterKeys(5000, 2);
    table.filter(keys.slice(0, 0, 2500), at::zeros({2500}));
    table.filter(keys.slice(0, 2500), at::zeros({2500}));
    EXPECT_EQ(table.size(), 5000);
    EXPECT_EQ(table.usedSlots(), 5000);
    const at::Tensor occupied = table.slots().masked_select(table.slots().ge(0));
    EXPECT_TRUE(std::get<0>(occupied.sort()).equal(at::arange(5000, at::kLong)));
    const auto found = table.lookup(keys, table.hashKeys(keys));
    EXPECT_TRUE(found.entry.equal(at::arange(5000, at::kLong)));
  }
}

// In small tables, keys that lose a slot probe on past the end of their
// sequences (as many probes as slots) within one block; a slot found there is
// out of a lookup's reach and must not be claimed. Each table draws its own
// column weights, so that many tables meet such keys.
TEST(TorchClosedTable, FilterPlacesKeysOfSmallTablesWithinTheirProbeSequences) {
  for (const std::int64_t capacity : {8, 16, 32}) {
    const std::int64_t count = (2 * capacity - 1) / 3;  // as many as fit below two-thirds load
    const at::Tensor keys = counterKeys(count, 1);
    for (int table_number = 0; table_number < 300; ++table_number) {
      TorchClosedTable table = makeTable(1, capacity);
      // Keys stored first make the later ones probe, and lose, past their home slots.
      table.filter(keys.slice(0, 0, count / 2), at::zeros({count / 2}));
      table.filter(keys.slice(0, count / 2), at::zeros({count - count / 2}));
      ASSERT_TRUE(table.lookup(keys, table.hashKeys(keys)).entry.equal(at::arange(count, at::kLong)))
          << capacity << " " << table_number;
    }
  }
}

// A "python_dict" probe sequence can miss the only free slots of a small,
// nearly full table. Such a key must never land in slot -1 (the last slot).
TEST(TorchClosedTable, KeyWithoutReachableSlotGrowsOrFails) {
  for (bool fixed : {false, true}) {
    TorchClosedTable table = makeTable(2, 8, ProbeScheme::PythonDict, fixed);
    const at::Tensor pool = counterKeys(1000, 2), pool_hashes = table.hashKeys(pool);
    at::Tensor misses = table.lookup(pool, pool_hashes).slot.eq(-1).nonzero();
    for (std::int64_t i = 0; misses.size(0) == 0 && i < 1000; ++i) {  // fill, without reserve, until some key misses
      const at::Tensor key = pool[i].unsqueeze(0), hash = pool_hashes[i].unsqueeze(0);
      table.insert(key, at::zeros({1}), hash, table.lookup(key, hash));
      misses = table.lookup(pool, pool_hashes).slot.eq(-1).nonzero();
    }
    ASSERT_GT(misses.size(0), 0);
    const at::Tensor key = pool[misses[0][0].item<std::int64_t>()].unsqueeze(0), hash = table.hashKeys(key);
    const at::Tensor stored = at::cat({table.keys().slice(0, 0, table.size()), key});
    const at::Tensor slots_before = table.slots().clone();
    const auto insertMissing = [&] { table.insert(key, at::zeros({1}), hash, table.lookup(key, hash)); };
    if (fixed) {
      expectErrorStartingWith<std::runtime_error>(insertMissing, "fixed CLOSED capacity exhausted at capacity=8");
      EXPECT_TRUE(table.slots().equal(slots_before));
    } else {
      insertMissing();
      EXPECT_GT(table.capacity(), 8);
      EXPECT_TRUE(table.lookup(stored, table.hashKeys(stored)).entry.equal(at::arange(stored.size(0), at::kLong)));
    }
  }
}

// Counts come back exact whether they share one transfer or their limits
// are too wide for that, with bool flags among them and counts at their
// limits, and the mask counts agree with a sum on the host.
TEST(TorchCounting, ReadCountsReturnsEachCount) {
  const at::Tensor mask = bools({1, 0, 1, 1, 0});
  EXPECT_EQ(kestrel::countTrue(mask).item<std::int64_t>(), 3);
  EXPECT_NE(kestrel::anyTrue(mask).item<std::int64_t>(), 0);
  EXPECT_EQ(kestrel::anyTrue(bools({0, 0})).item<std::int64_t>(), 0);
  const std::int64_t wide = std::int64_t{1} << 40;
  const auto scalar = [](std::int64_t value) { return at::scalar_tensor(value, at::kLong); };
  const std::vector<std::int64_t> packed =
      kestrel::readCounts({{scalar(5), 5}, {scalar(0), 7}, {at::scalar_tensor(true), 1}, {scalar(1000), 1000}});
  EXPECT_EQ(packed, (std::vector<std::int64_t>{5, 0, 1, 1000}));
  const std::vector<std::int64_t> unpacked =
      kestrel::readCounts({{scalar(wide - 1), wide}, {at::scalar_tensor(false), 1}, {scalar(wide), wide}});
  EXPECT_EQ(unpacked, (std::vector<std::int64_t>{wide - 1, 0, wide}));
  // Limits of exactly 62 bits together (packed), of 63 (read one by one),
  // a limit of 0, and a flag first.
  const std::int64_t top31 = (std::int64_t{1} << 31) - 1, top32 = (std::int64_t{1} << 32) - 1;
  EXPECT_EQ(
      kestrel::readCounts(
          {{at::scalar_tensor(true), 1}, {scalar(top31), top31}, {scalar(top31 >> 1), top31 >> 1}, {scalar(0), 0}}),
      (std::vector<std::int64_t>{1, top31, top31 >> 1, 0}));
  EXPECT_EQ(kestrel::readCounts({{scalar(top31), top31}, {scalar(top32), top32}}),
            (std::vector<std::int64_t>{top31, top32}));
}

// Sort keys order floats as a stable sort does: -inf, negatives, both
// zeros as one, denormals, +inf, then NaN of either sign, in every float
// type that has them.
TEST(TorchSorting, OrderedCostBitsSortAsTheFloatsDo) {
  const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> values = {nan,  3.5, -0.0, -inf, 1e-40, 0.0,   -2.0,  inf,    -1e-40, -nan,
                                      -3.5, 0.0, 2.0,  -0.0, 1e30,  -1e30, 65000, -65000, 1.0,    -1.0};
  for (const at::ScalarType type : {at::kFloat, at::kHalf, at::kBFloat16}) {
    const at::Tensor costs = at::tensor(values, at::kDouble).to(type);
    const at::Tensor keys = *kestrel::orderedCostBits(costs);
    EXPECT_EQ(keys.element_size(), costs.element_size()) << type;
    EXPECT_TRUE(at::argsort(keys, true).equal(at::argsort(costs, true))) << type;
    // Equal floats (the zeros, the NaNs) get equal keys, different ones different keys.
    const at::Tensor same_keys = keys.unsqueeze(0).eq(keys.unsqueeze(1));
    const at::Tensor same_costs = costs.unsqueeze(0)
                                      .eq(costs.unsqueeze(1))
                                      .logical_or(costs.isnan().unsqueeze(0).logical_and(costs.isnan().unsqueeze(1)));
    EXPECT_TRUE(same_keys.equal(same_costs)) << type;
  }
}

// A batch of stored and new keys, contending for slots in a table near
// two-thirds load: afterwards every entry holds exactly one slot, and the
// used slots are counted right.
TEST(TorchClosedTable, EveryEntryHoldsOneSlotAfterMixedBatches) {
  for (ProbeScheme scheme : kSchemes) {
    TorchClosedTable table = makeTable(2, 512, scheme);
    const at::Tensor keys = counterKeys(340, 2);
    table.filter(keys.slice(0, 0, 170), at::zeros({170}));
    // Half stored (at a lower cost, so they are accepted again), half new.
    table.filter(keys.slice(0, 85, 340), at::full({255}, -1.0));
    EXPECT_EQ(table.capacity(), 1024) << "grown once at two-thirds load";
    EXPECT_EQ(table.size(), 340);
    EXPECT_EQ(table.usedSlots(), 340);
    const at::Tensor held = table.slots().masked_select(table.slots().ge(0));
    EXPECT_TRUE(std::get<0>(held.sort()).equal(at::arange(340, at::kLong)));

    // The table keeps hashes without their sign bit, so that its blocks and
    // its step-by-step probing shift them alike: a hash given with the sign
    // bit set is the same hash, down to the probe sequence's state.
    const at::Tensor hashes = table.hashKeys(keys);
    const TorchClosedTable::Lookup plain = table.lookup(keys, hashes);
    const TorchClosedTable::Lookup signed_hashes =
        table.lookup(keys, hashes | std::numeric_limits<std::int64_t>::min());
    EXPECT_TRUE(signed_hashes.entry.equal(plain.entry));
    EXPECT_TRUE(signed_hashes.slot.equal(plain.slot));
    EXPECT_TRUE(signed_hashes.perturbation.equal(plain.perturbation));
  }
}

// Below two-thirds load a "python_dict" sequence of a small table may still
// miss every free slot. A filter must then place such a new key elsewhere
// (here by growing) and keep every stored key.
TEST(TorchClosedTable, FilterPlacesANewKeyWhoseSequenceMissesEveryFreeSlot) {
  const at::Tensor pool = counterKeys(2000, 1, 100);
  const at::Tensor stored = counterKeys(4, 1);  // one more key keeps the load below two thirds
  for (int table_number = 0; table_number < 5000; ++table_number) {
    TorchClosedTable table = makeTable(1, 8);
    table.filter(stored, at::zeros({4}));
    const at::Tensor misses = table.lookup(pool, table.hashKeys(pool)).slot.eq(-1).nonzero().reshape({-1});
    if (misses.size(0) == 0) continue;
    const at::Tensor missing = pool.index_select(0, misses.narrow(0, 0, 1));
    EXPECT_TRUE(table.filter(missing, at::zeros({1})).accept.equal(bools({1})));
    const at::Tensor all = at::cat({stored, missing});
    EXPECT_TRUE(table.lookup(all, table.hashKeys(all)).entry.equal(at::arange(5, at::kLong)));
    return;
  }
  FAIL() << "no table left a key without a reachable free slot";
}

}  // namespace
