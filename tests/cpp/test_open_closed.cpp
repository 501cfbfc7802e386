#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "kestrel/env/environment.h"
#include "kestrel/pwas/closed_table.h"
#include "kestrel/pwas/cost_dtypes.h"
#include "kestrel/pwas/node_store.h"
#include "kestrel/pwas/open_queue.h"
#include "kestrel/pwas/search_node.h"
#include "kestrel/pwas/settings.h"
#include "kestrel/pwas/state_hash.h"
#include "kestrel/pwas/zeroed_memory.h"
#include "support/expect_error.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using kestrel::ProbeScheme;
using kestrel::probeSchemeFromName;
using kestrel::testing::expectError;
using kestrel::testing::thrownMessage;

// A puzzle that is nothing but its state bytes.
class BytesEnvironment : public Environment {
 public:
  explicit BytesEnvironment(Bytes state) : state_(std::move(state)) {}
  std::unique_ptr<Environment> apply_move(int) const override { return nullptr; }
  std::vector<std::unique_ptr<Environment>> expand() const override { return {}; }
  const Bytes& state() const override { return state_; }
  bool is_solved() const override { return false; }
  int num_moves() const override { return 0; }
  std::size_t input_size() const override { return 0; }
  void write_inputs(float*) const override {}

 private:
  Bytes state_;
};

using Floats = kestrel::CostDtypes<float, float, float, float, float>;
using Node = kestrel::SearchNode<Floats>;
using Table = kestrel::ClosedTable<Floats>;

template <typename Costs = Floats>
kestrel::SearchNode<Costs>* addNode(kestrel::NodeStore<Costs>& store, Bytes state) {
  auto env = std::make_unique<BytesEnvironment>(std::move(state));
  const kestrel::StateBytes bytes(env->state());
  return store.add(std::move(env), bytes, 0, -1, nullptr);
}

// Owns the nodes of a test in a node store, as a solve does.
struct Nodes {
  Node* add(Bytes state) {
    Node* node = addNode(store, std::move(state));
    owned.push_back(node);
    return node;
  }
  kestrel::NodeStore<Floats> store{1, false};
  std::vector<Node*> owned;
};

Bytes counterKey(std::uint32_t i) {
  return {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i >> 16),
          static_cast<std::uint8_t>(i >> 24)};
}

std::uint64_t hashOf(const Bytes& key) { return kestrel::stateHash(key.data(), key.size()); }
std::uint64_t hashOf(kestrel::StateBytes key) { return kestrel::stateHash(key.data(), key.size()); }

// The probe sequence, written out independently of the table's.
std::vector<std::uint64_t> probeIndices(std::uint64_t hash, std::uint64_t slots, bool python_dict, std::size_t n) {
  const std::uint64_t mask = slots - 1;
  std::vector<std::uint64_t> indices{hash & mask};
  std::uint64_t perturb = hash;
  while (indices.size() < n) {
    const std::uint64_t i = indices.back();
    if (python_dict) {
      perturb >>= 5;
      indices.push_back((5 * i + perturb + 1) & mask);
    } else {
      indices.push_back((i + 1) & mask);
    }
  }
  return indices;
}

// Keys (4-byte counters from `next` upward) whose first probe is `index`.
Bytes keyStartingAt(std::uint64_t index, std::uint64_t slots, std::uint32_t& next) {
  for (;; ++next) {
    Bytes key = counterKey(next);
    if ((hashOf(key) & (slots - 1)) == index) {
      ++next;
      return key;
    }
  }
}

// ---- Node record

using MixedFD = kestrel::CostDtypes<float, float, float, float, double>;
using MixedDF = kestrel::CostDtypes<double, double, double, double, float>;
using Doubles = kestrel::CostDtypes<double, double, double, double, double>;

// The node record as it would be laid out with no closed_cost member.
template <typename Heuristic>
struct WithoutClosedCost {
  std::unique_ptr<Environment> env;
  kestrel::StateBytes state;
  kestrel::NodeId id;
  std::int32_t depth;
  std::int32_t move;
  Heuristic heuristic;
  void* parent;
  std::array<std::uint8_t, kestrel::kInlineStateBytes> inline_state;
};

static_assert(std::is_empty_v<kestrel::SearchNode<Floats>::ClosedCost>);
static_assert(std::is_empty_v<kestrel::SearchNode<Doubles>::ClosedCost>);
static_assert(std::is_same_v<kestrel::SearchNode<MixedFD>::ClosedCost, double>);
static_assert(std::is_same_v<kestrel::SearchNode<MixedDF>::ClosedCost, float>);
static_assert(sizeof(kestrel::SearchNode<Floats>) == sizeof(WithoutClosedCost<float>));
static_assert(sizeof(kestrel::SearchNode<Doubles>) == sizeof(WithoutClosedCost<double>));
static_assert(sizeof(kestrel::SearchNode<MixedFD>) > sizeof(kestrel::SearchNode<Floats>));
static_assert(sizeof(kestrel::SearchNode<Floats>) == 64);  // a cache line

// Keys are equal only when their sizes and every byte agree, whichever way
// a key of that size is compared.
TEST(StateBytes, EqualityLooksAtEveryByteOfEverySize) {
  for (std::size_t size = 0; size <= 40; ++size) {
    Bytes a(size), b(size);
    for (std::size_t i = 0; i < size; ++i) a[i] = b[i] = static_cast<std::uint8_t>(31 * i + 7);
    ASSERT_TRUE(kestrel::StateBytes(a) == kestrel::StateBytes(b)) << size;
    for (std::size_t i = 0; i < size; ++i) {
      b[i] ^= 0x10;
      ASSERT_FALSE(kestrel::StateBytes(a) == kestrel::StateBytes(b)) << size << " byte " << i;
      b[i] ^= 0x10;
    }
    if (size > 0) {
      ASSERT_FALSE(kestrel::StateBytes(a) == kestrel::StateBytes(b.data(), size - 1)) << size;
    }
  }
}

TEST(NodeStore, AddCopiesTheStateAndConvertsDepthToClosedCost) {
  Bytes state{4, 5, 6};
  kestrel::NodeStore<MixedFD> store(1, false);
  auto* parent = addNode(store, Bytes{1});
  auto env = std::make_unique<BytesEnvironment>(state);
  const Environment* raw = env.get();
  auto* node = store.add(std::move(env), kestrel::StateBytes(raw->state()), 7, 3, parent);
  EXPECT_EQ(node->env.get(), raw);
  EXPECT_EQ(node->state, state);
  EXPECT_NE(node->state.data(), raw->state().data());  // a copy, not a view
  EXPECT_EQ(node->depth, 7);
  EXPECT_EQ(node->move, 3);
  EXPECT_EQ(node->id, 1u);
  EXPECT_EQ(store.node(1), node);
  EXPECT_EQ(store.node(0), parent);
  EXPECT_EQ(node->closed_cost, 7.0);
  EXPECT_EQ(node->parent, parent);
  kestrel::NodeStore<MixedDF> other(1, false);
  EXPECT_EQ(
      other.add(std::make_unique<BytesEnvironment>(state), kestrel::StateBytes(state), 9, 0, nullptr)->closed_cost,
      9.0f);
}

TEST(NodeStore, FixedCapacityIsAHardLimit) {
  for (std::uint64_t capacity : {1u, 3u}) {
    kestrel::NodeStore<Floats> store(capacity, true);
    for (std::uint64_t i = 0; i < capacity; ++i) addNode(store, {static_cast<std::uint8_t>(i)});
    EXPECT_EQ(thrownMessage<std::runtime_error>([&] { addNode(store, {99}); }), "C++ node store reached fixed capacity")
        << capacity;
    EXPECT_EQ(store.size(), capacity);
  }
}

// Nodes and their state bytes live in blocks: however far the store grows,
// none of them moves, and states of every size (empty, either side of the
// size kept inside a node, larger than a block) keep their bytes. Every node
// starts on a cache line.
TEST(NodeStore, NodesAndStateBytesKeepTheirAddressesForTheLifeOfTheStore) {
  kestrel::NodeStore<Floats> store(1, false);
  std::vector<Bytes> states{{}, Bytes((1u << 20) + 3, 7), {42}, Bytes(15, 4), Bytes(16, 5), Bytes(17, 6)};
  states[4].back() = 9;
  states[5].back() = 9;
  for (std::uint32_t i = 0; i < 20000; ++i) states.push_back(counterKey(i));
  std::vector<Node*> nodes;
  std::vector<const std::uint8_t*> bytes;
  for (const Bytes& state : states) {
    nodes.push_back(addNode(store, state));
    bytes.push_back(nodes.back()->state.data());
  }
  EXPECT_EQ(store.size(), states.size());
  for (std::size_t i = 0; i < states.size(); ++i) {
    ASSERT_EQ(nodes[i]->state.data(), bytes[i]) << i;
    ASSERT_EQ(nodes[i]->state, states[i]) << i;
    ASSERT_EQ(nodes[i]->env->state(), states[i]) << i;
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(nodes[i]) % 64, 0u) << i;
  }
}

// ---- OPEN

using Open = kestrel::OpenQueue<float>;

TEST(OpenQueue, FixedCapacityRefusesAPushWhenFull) {
  Open open(1, true);
  open.setKey(0, 1.0f);
  open.setKey(1, 0.0f);
  open.push(0);
  expectError<std::runtime_error>([&] { open.push(1); }, "C++ OPEN queue reached fixed capacity");
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(open.pop(), 0u);
  EXPECT_TRUE(open.empty());
  EXPECT_NO_THROW(open.push(1));

  Open adaptive(1, false);
  adaptive.setKey(0, 1.0f);
  for (int i = 0; i < 100; ++i) adaptive.push(0);
  EXPECT_EQ(adaptive.size(), 100u);
}

TEST(OpenQueue, EqualKeysPopInPushOrderAndDuplicatesPopTwice) {
  const kestrel::NodeId a = 1, b = 2, c = 3;
  Open open(8, false);
  open.setKey(a, 5.0f);
  open.setKey(b, 5.0f);
  open.setKey(c, 1.0f);
  open.push(a);
  open.push(b);
  EXPECT_EQ(open.pop(), a);
  EXPECT_EQ(open.pop(), b);

  open.push(a);
  open.push(c);
  open.push(a);
  EXPECT_EQ(open.size(), 3u);
  EXPECT_EQ(open.pop(), c);
  EXPECT_EQ(open.pop(), a);
  EXPECT_EQ(open.pop(), a);
  EXPECT_TRUE(open.empty());
}

// The heap rules written out step by step, over keys held apart from the
// heap: sift-up stops at an equal parent; pop walks the hole to a leaf,
// preferring the right child on ties, then sifts the former last entry up
// from there.
class ReferenceHeap {
 public:
  explicit ReferenceHeap(const std::vector<float>& keys) : keys_(keys) {}
  void push(std::uint32_t id) {
    heap_.push_back(id);
    siftUp(heap_.size() - 1, id);
  }
  std::uint32_t pop() {
    const std::uint32_t top = heap_.front();
    const std::uint32_t last = heap_.back();
    heap_.pop_back();
    const std::size_t n = heap_.size();
    if (n == 0) return top;
    std::size_t hole = 0;
    for (;;) {
      const std::size_t left = 2 * hole + 1, right = left + 1;
      std::size_t child;
      if (right < n) {
        child = keys_[heap_[left]] < keys_[heap_[right]] ? left : right;
      } else if (left < n) {
        child = left;
      } else {
        break;
      }
      heap_[hole] = heap_[child];
      hole = child;
    }
    siftUp(hole, last);
    return top;
  }
  std::size_t size() const { return heap_.size(); }

 private:
  void siftUp(std::size_t hole, std::uint32_t id) {
    while (hole > 0) {
      const std::size_t parent = (hole - 1) / 2;
      if (!(keys_[heap_[parent]] > keys_[id])) break;
      heap_[hole] = heap_[parent];
      hole = parent;
    }
    heap_[hole] = id;
  }
  const std::vector<float>& keys_;
  std::vector<std::uint32_t> heap_;
};

TEST(OpenQueue, PopOrderFollowsTheHeapRulesUnderTiesAndStaleEntries) {
  for (unsigned seed : {1u, 2u, 3u, 4u}) {
    std::mt19937 rng(seed);
    std::vector<float> keys;
    keys.reserve(4000);
    Open open(16, false);
    ReferenceHeap reference(keys);
    std::size_t pops = 0;
    for (int step = 0; step < 4000; ++step) {
      const unsigned action = rng() % 10;
      if (action < 5 || reference.size() == 0) {
        // Few distinct keys, so ties are everywhere.
        const auto id = static_cast<std::uint32_t>(keys.size());
        keys.push_back(static_cast<float>(rng() % 6));
        open.setKey(id, keys.back());
        open.push(id);
        reference.push(id);
      } else if (action < 7) {
        // An in-place update: a known node gets a lower key and is pushed
        // again while its older entry stays where it is.
        const auto id = static_cast<std::uint32_t>(rng() % keys.size());
        keys[id] -= 1.0f;
        open.setKey(id, keys[id]);
        EXPECT_EQ(open.key(id), keys[id]);
        open.push(id);
        reference.push(id);
      } else {
        ASSERT_EQ(open.pop(), reference.pop()) << "seed " << seed << " step " << step;
        ++pops;
      }
      ASSERT_EQ(open.size(), reference.size());
    }
    while (reference.size() > 0) ASSERT_EQ(open.pop(), reference.pop());
    EXPECT_TRUE(open.empty());
    EXPECT_GT(pops, 500u);
  }
}

// ---- CLOSED

TEST(StateHash, KnownValues) {
  EXPECT_EQ(kestrel::stateHash(nullptr, 0), 0u);
  const Bytes zero{0};
  EXPECT_EQ(hashOf(zero), 0x9e3779b97f4a7c54ULL);
  const Bytes abc{'a', 'b', 'c'};
  EXPECT_EQ(hashOf(abc), 0xfb58c6023e7b19f5ULL);
  EXPECT_NE(hashOf(Bytes{0, 0}), hashOf(Bytes{0}));  // the length is part of the hash
}

std::size_t slotsFor(std::int64_t node_store, std::int64_t closed, float factor = 4.0f) {
  kestrel::SolverSettings s;
  s.initial_node_store_size = node_store;
  s.initial_closed_size = closed;
  s.hash_capacity_factor = factor;
  return Table(probeSchemeFromName(s.hashtable_algorithm), kestrel::resolveCapacities(s).closed, false).slotCount();
}

// Blocks on both sides of the huge-page size: zero-filled, writable to the
// last byte, and a mapped block starts on a huge-page boundary.
TEST(ZeroedMemory, BlocksAreZeroedWritableAndMappedOnesAligned) {
  for (std::size_t bytes : {std::size_t{0}, std::size_t{24}, kestrel::kHugePageBytes - 1, kestrel::kHugePageBytes,
                            3 * kestrel::kHugePageBytes + 5}) {
    kestrel::ZeroedMemory memory =
        kestrel::zeroedMemory(bytes, bytes % 2 == 0 ? kestrel::PageSize::Small : kestrel::PageSize::HugeWherePossible);
    auto* data = static_cast<std::uint8_t*>(memory.get());
    ASSERT_NE(data, nullptr);
    std::size_t nonzero = 0;
    for (std::size_t i = 0; i < bytes; ++i) nonzero += data[i] != 0;
    EXPECT_EQ(nonzero, 0u) << bytes;
    if (bytes > 0) data[bytes - 1] = 1;
    if (bytes >= kestrel::kHugePageBytes) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data) % kestrel::kHugePageBytes, 0u) << bytes;
    }
  }
}

TEST(ZeroedMemory, FloatBufferGrowsKeepingItsContents) {
  kestrel::FloatBuffer buffer;
  EXPECT_EQ(buffer.size(), 0u);
  buffer.reserve(3);
  for (int i = 0; i < 3; ++i) buffer.data()[i] = static_cast<float>(i + 1);
  buffer.reserve(2);  // never shrinks
  EXPECT_EQ(buffer.size(), 3u);
  buffer.reserve(4);  // doubles at least
  EXPECT_EQ(buffer.size(), 6u);
  const std::size_t large = kestrel::kHugePageBytes;  // floats: four huge pages
  buffer.reserve(large);
  ASSERT_EQ(buffer.size(), large);
  EXPECT_EQ(std::vector<float>(buffer.data(), buffer.data() + 4), (std::vector<float>{1, 2, 3, 0}));
  EXPECT_EQ(buffer.data()[large - 1], 0.0f);
}

TEST(ClosedTable, SlotCountIsThePowerOfTwoAtOrAboveTheRequest) {
  EXPECT_EQ(slotsFor(0, 0), 1024u);
  EXPECT_EQ(slotsFor(100, 0, 2.0f), 256u);
  EXPECT_EQ(slotsFor(3, 0, 1.5f), 8u);
  EXPECT_EQ(slotsFor(100, 1000), 1024u);
  EXPECT_EQ(slotsFor(0, 1000, 64.0f), 1024u);
  EXPECT_EQ(Table(ProbeScheme::LinearProbing, 0, false).slotCount(), 1u);
  EXPECT_EQ(Table(ProbeScheme::LinearProbing, 5, false).slotCount(), 8u);
  EXPECT_EQ(Table(ProbeScheme::PythonDict, 1024, false).slotCount(), 1024u);
  EXPECT_EQ(Table(ProbeScheme::PythonDict, 1025, false).slotCount(), 2048u);
}

TEST(ProbeScheme, UnknownAlgorithmIsRejected) {
  for (const char* name : {"Linear_probing", "linear-probing", "", "PYTHON_DICT"}) {
    EXPECT_EQ(thrownMessage<std::invalid_argument>([&] { probeSchemeFromName(name); }),
              "hashtable_algorithm must be 'linear_probing' or 'python_dict'")
        << name;
  }
}

TEST(ClosedTable, LinearProbingPutsCollisionsInConsecutiveSlotsAndWraps) {
  Nodes nodes;
  Table table(ProbeScheme::LinearProbing, 16, false);
  std::uint32_t next = 0;
  std::vector<Node*> colliding;
  for (int i = 0; i < 3; ++i) colliding.push_back(nodes.add(keyStartingAt(14, 16, next)));
  for (Node* node : colliding) table.insert(node);
  EXPECT_EQ(table.slots()[14], colliding[0]);
  EXPECT_EQ(table.slots()[15], colliding[1]);
  EXPECT_EQ(table.slots()[0], colliding[2]);
  for (Node* node : colliding) EXPECT_EQ(table.find(node->state), node);
  EXPECT_EQ(table.find(keyStartingAt(14, 16, next)), nullptr);
}

// A position located before inserts stands exactly while locating again
// would return it: not once its empty slot is taken, its match replaced or
// the table grown; untouched by inserts elsewhere or along its probe.
TEST(ClosedTable, StillHoldsTellsWhetherAPositionIsStale) {
  for (ProbeScheme scheme : {ProbeScheme::LinearProbing, ProbeScheme::PythonDict}) {
    Nodes nodes;
    Table table(scheme, 16, false);
    std::uint32_t next = 0;
    Node* stored = nodes.add(keyStartingAt(3, 16, next));
    table.insert(stored);
    const Node* absent = nodes.add(keyStartingAt(3, 16, next));  // probes past `stored`
    const Table::Position empty = table.locate(absent->state);
    const Table::Position match = table.locate(stored->state);
    ASSERT_EQ(empty.kind, Table::Position::Kind::Empty);
    ASSERT_EQ(match.kind, Table::Position::Kind::Match);

    table.insert(nodes.add(keyStartingAt(11, 16, next)));  // elsewhere
    table.insert(nodes.add(Bytes(stored->state.data(), stored->state.data() + stored->state.size())));
    EXPECT_TRUE(table.stillHolds(empty));
    EXPECT_FALSE(table.stillHolds(match));  // an equal key's node replaced it
    const Table::Position replaced = table.locate(stored->state);
    EXPECT_TRUE(table.stillHolds(replaced));

    table.insert(nodes.add(keyStartingAt(empty.slot, 16, next)));  // takes the empty slot
    EXPECT_FALSE(table.stillHolds(empty));
    EXPECT_NE(table.locate(absent->state).slot, empty.slot);

    for (std::uint32_t i = 0; table.slotCount() == 16; ++i) table.insert(nodes.add(counterKey(1000 + i)));
    EXPECT_FALSE(table.stillHolds(replaced));
    EXPECT_TRUE(table.stillHolds(table.locate(stored->state)));
  }
}

TEST(ClosedTable, PythonDictSecondProbeMixesInTheShiftedHash) {
  Nodes nodes;
  constexpr std::uint64_t kSlots = 64;
  Table table(ProbeScheme::PythonDict, kSlots, false);
  std::uint32_t next = 0;
  Node* first = nodes.add(keyStartingAt(9, kSlots, next));
  Node* second = nullptr;
  std::uint64_t expected = 9;
  while (expected == 9) {  // a second probe that does not land back on the first
    second = nodes.add(keyStartingAt(9, kSlots, next));
    expected = (5 * (hashOf(second->state) & (kSlots - 1)) + (hashOf(second->state) >> 5) + 1) & (kSlots - 1);
  }
  table.insert(first);
  table.insert(second);
  EXPECT_EQ(table.slots()[9], first);
  EXPECT_EQ(table.slots()[expected], second);
  EXPECT_EQ(table.find(second->state), second);
}

TEST(ClosedTable, EqualKeyReplacesThePointerAndKeepsTheCount) {
  for (const char* algorithm : {"linear_probing", "python_dict"}) {
    Nodes nodes;
    Table table(probeSchemeFromName(algorithm), 8, false);
    Node* original = nodes.add({1, 2, 3});
    Node* other = nodes.add({1, 2});
    Node* replacement = nodes.add({1, 2, 3});
    table.insert(original);
    table.insert(other);
    table.insert(replacement);
    EXPECT_EQ(table.size(), 2u) << algorithm;
    EXPECT_EQ(table.find(Bytes{1, 2, 3}), replacement) << algorithm;
    EXPECT_EQ(table.find(Bytes{1, 2}), other) << algorithm;
    std::size_t occupied = 0;
    for (Node* slot : table.slots()) occupied += slot != nullptr;
    EXPECT_EQ(occupied, 2u) << algorithm;
  }
}

TEST(ClosedTable, GrowsOnTheInsertionReachingTwoThirdsLoad) {
  for (const char* algorithm : {"linear_probing", "python_dict"}) {
    Nodes nodes;
    Table table(probeSchemeFromName(algorithm), 1024, false);
    for (std::uint32_t i = 0; i < 682; ++i) table.insert(nodes.add(counterKey(i)));
    EXPECT_EQ(table.slotCount(), 1024u) << algorithm;
    table.insert(nodes.add(counterKey(682)));
    EXPECT_EQ(table.slotCount(), 2048u) << algorithm;
    EXPECT_EQ(table.size(), 683u) << algorithm;
    for (Node* node : nodes.owned) ASSERT_EQ(table.find(node->state), node) << algorithm;
    EXPECT_EQ(table.find(counterKey(5000)), nullptr) << algorithm;
  }
}

// An independent model of the table: same hash, the probe sequence above,
// growth by doubling with old slots re-inserted from index 0 upward.
class ReferenceTable {
 public:
  ReferenceTable(bool python_dict, std::size_t slots) : python_dict_(python_dict), slots_(slots, nullptr) {}
  void insert(Node* node) {
    if (place(slots_, node) && 3 * ++count_ >= 2 * slots_.size()) {
      std::vector<Node*> grown(2 * slots_.size(), nullptr);
      count_ = 0;
      for (Node* old : slots_) {
        if (old != nullptr && place(grown, old)) ++count_;
      }
      slots_ = std::move(grown);
    }
  }
  const std::vector<Node*>& slots() const { return slots_; }

 private:
  bool place(std::vector<Node*>& slots, Node* node) const {
    for (std::uint64_t i : probeIndices(hashOf(node->state), slots.size(), python_dict_, slots.size())) {
      if (slots[i] == nullptr || slots[i]->state == node->state) {
        const bool filled = slots[i] == nullptr;
        slots[i] = node;
        return filled;
      }
    }
    throw std::runtime_error("reference table full");
  }
  bool python_dict_;
  std::vector<Node*> slots_;
  std::size_t count_ = 0;
};

Node* referenceFind(const ReferenceTable& reference, const Bytes& key) {
  for (Node* node : reference.slots()) {
    if (node != nullptr && node->state == key) return node;
  }
  return nullptr;
}

TEST(ClosedTable, LayoutMatchesAnIndependentModelThroughSeveralGrowths) {
  for (const char* algorithm : {"linear_probing", "python_dict"}) {
    const bool python_dict = std::string(algorithm) == "python_dict";
    Nodes nodes;
    Table table(probeSchemeFromName(algorithm), 8, false);
    Table located(probeSchemeFromName(algorithm), 8,
                  false);  // filled the way the search does: locate once, then insertAt
    ReferenceTable reference(python_dict, 8);
    std::mt19937 rng(7);
    for (int step = 0; step < 300; ++step) {
      // Short keys of varying length, so that repeats (replacements) occur.
      Bytes key(1 + rng() % 3);
      for (auto& byte : key) byte = static_cast<std::uint8_t>(rng() % 8);
      Node* node = nodes.add(key);
      table.insert(node);
      const auto position = located.locate(key);
      EXPECT_EQ(position.match, referenceFind(reference, key));
      located.insertAt(position, node);
      reference.insert(node);
      ASSERT_EQ(table.slots(), reference.slots()) << algorithm << " step " << step;
      ASSERT_EQ(located.slots(), reference.slots()) << algorithm << " step " << step;
    }
    EXPECT_GE(table.slotCount(), 256u) << algorithm;  // five doublings from 8
  }
}

TEST(ClosedTable, FixedModeFailsAtTwoThirdsLoadAfterStoringTheNode) {
  for (const char* algorithm : {"linear_probing", "python_dict"}) {
    Nodes nodes;
    Table one(probeSchemeFromName(algorithm), 1, true);
    Node* start = nodes.add({0});
    EXPECT_EQ(thrownMessage<std::runtime_error>([&] { one.insert(start); }),
              "C++ CLOSED state table reached fixed capacity")
        << algorithm;
    EXPECT_EQ(one.find(start->state), start);
    EXPECT_EQ(one.slotCount(), 1u);

    Table eight(probeSchemeFromName(algorithm), 8, true);  // 3 * 6 >= 2 * 8
    for (std::uint32_t i = 0; i < 5; ++i) eight.insert(nodes.add(counterKey(i)));
    EXPECT_THROW(eight.insert(nodes.add(counterKey(5))), std::runtime_error);
    EXPECT_EQ(eight.size(), 6u);
    EXPECT_EQ(eight.slotCount(), 8u);
  }
}

TEST(ClosedTable, PythonDictCanBeFullWhileSlotsAreEmpty) {
  // Find a key whose first eight probes in an 8-slot table visit at most
  // five distinct slots, then occupy exactly those slots with other keys.
  constexpr std::uint64_t kSlots = 8;
  std::uint32_t next = 0;
  Bytes blocked;
  std::set<std::uint64_t> visited;
  for (;; ++next) {
    blocked = counterKey(next);
    const auto probes = probeIndices(hashOf(blocked), kSlots, true, kSlots);
    visited = std::set<std::uint64_t>(probes.begin(), probes.end());
    if (visited.size() <= 5) break;
  }
  ++next;

  Nodes nodes;
  Table table(ProbeScheme::PythonDict, kSlots, false);
  for (std::uint64_t slot : visited) {
    Node* filler = nodes.add(keyStartingAt(slot, kSlots, next));
    table.insert(filler);
    ASSERT_EQ(table.slots()[slot], filler);
  }
  ASSERT_EQ(table.slotCount(), kSlots);
  ASSERT_LT(table.size(), kSlots);

  EXPECT_EQ(table.find(blocked), nullptr);  // the probe limit ends the search
  expectError<std::runtime_error>([&] { table.insert(nodes.add(blocked)); }, "C++ CLOSED state table is full");
  EXPECT_EQ(table.size(), visited.size());
}

}  // namespace
