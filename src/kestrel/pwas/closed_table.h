#pragma once

// CLOSED: open addressing over node pointers keyed by the nodes' state bytes.
// Does not own the nodes. Grows by doubling at two-thirds load ("adaptive") or
// fails there ("fixed"). There is no deletion.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "kestrel/pwas/search_node.h"
#include "kestrel/pwas/settings.h"
#include "kestrel/pwas/state_hash.h"
#include "kestrel/pwas/zeroed_memory.h"
#include "kestrel/solve/probe_sequence.h"

namespace kestrel {

inline constexpr const char* kClosedTableFixedMessage = "C++ CLOSED state table reached fixed capacity";
inline constexpr const char* kClosedTableFullMessage = "C++ CLOSED state table is full";

template <typename Costs>
class ClosedTable {
 public:
  using Node = SearchNode<Costs>;

  // Where a key lives, or would go: the slot of an equal key, the first empty
  // slot of its probe sequence, or neither within the probe limit.
  struct Position {
    enum class Kind { Match, Empty, Exhausted };
    Kind kind = Kind::Exhausted;
    std::size_t slot = 0;
    std::uint64_t hash = 0;
    Node* match = nullptr;       // the node of the equal key; null unless kind is Match
    std::size_t slot_count = 0;  // the table's size when it was located
  };

  ClosedTable(ProbeScheme scheme, std::uint64_t capacity, bool fixed)
      : scheme_(scheme), slots_(nextPowerOfTwo(capacity < 1 ? 1 : capacity), PageSize::Small), fixed_(fixed) {}

  // Follows the key's probe sequence once. The search loop looks a successor
  // up with this and, when it accepts it, stores it with insertAt() without
  // probing again.
  Position locate(StateBytes key) const { return locate(key, stateHash(key.data(), key.size())); }
  Position locate(const std::vector<std::uint8_t>& key) const { return locate(StateBytes(key)); }

  // The same with the key's stateHash computed beforehand (the search hashes
  // a whole batch of successors on its worker threads).
  Position locate(StateBytes key, std::uint64_t hash) const { return locateIn(slots_, key, hash); }

  // Whether locate() would still return `position` for its key, after
  // inserts since it was located. Inserts fill empty slots or replace a
  // node by one of an equal key, so every slot the probe passed still
  // differs from the key; the position stands while the table has not grown
  // and its slot holds what it held.
  bool stillHolds(const Position& position) const {
    if (position.slot_count != slots_.size() || position.kind == Position::Kind::Exhausted) return false;
    return slots_[position.slot].node == position.match;
  }

  // Brings what stillHolds() and the caller read of a located position
  // into cache: its slot and its matching node.
  void prefetchPosition(const Position& position) const {
    if (position.slot_count != slots_.size()) return;
    __builtin_prefetch(&slots_[position.slot]);
    if (position.match != nullptr) __builtin_prefetch(position.match);
  }

  // A lookup follows pointers that are rarely in cache: the slots of its
  // probe sequence, the node a slot of its hash points to, and that node's
  // state bytes. A batch of lookups overlaps those misses by asking for them
  // in stages ahead of use, each stage reading only what the one before
  // fetched: first the home slot; later the node there if it holds the hash,
  // or else the next slot of the sequence; later still the key of the node at
  // the home slot, or the node at the second slot, or else the third slot.
  // Hints only: a stale or wrong guess costs nothing but time.
  void prefetchSlot(std::uint64_t hash) const { __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]); }
  void prefetchNode(std::uint64_t hash) const {
    ProbeSequence probe(scheme_, hash, slots_.size() - 1);
    const Slot& home = slots_[probe.index()];
    if (home.node == nullptr) return;
    if (home.hash == hash) {
      __builtin_prefetch(home.node);
      return;
    }
    probe.advance();
    __builtin_prefetch(&slots_[probe.index()]);
  }
  void prefetchKey(std::uint64_t hash) const {
    ProbeSequence probe(scheme_, hash, slots_.size() - 1);
    const Slot& home = slots_[probe.index()];
    if (home.node == nullptr) return;
    if (home.hash == hash) {
      __builtin_prefetch(home.node->state.data());
      return;
    }
    probe.advance();
    const Slot& second = slots_[probe.index()];
    if (second.node == nullptr) return;
    if (second.hash == hash) {
      __builtin_prefetch(second.node);
      return;
    }
    probe.advance();
    __builtin_prefetch(&slots_[probe.index()]);
  }

  // The node holding an equal key, or null.
  Node* find(StateBytes key) const { return locate(key).match; }
  Node* find(const std::vector<std::uint8_t>& key) const { return locate(key).match; }

  // Stores `node` under its state; an equal key is overwritten.
  void insert(Node* node) { insertAt(locate(node->state), node); }

  // Stores `node` at a position that locate() returned for its state, with no
  // change to the table in between.
  void insertAt(const Position& position, Node* node) {
    if (position.kind == Position::Kind::Exhausted) throw std::runtime_error(kClosedTableFullMessage);
    slots_[position.slot] = Slot{position.hash, node};
    if (position.kind == Position::Kind::Match) return;
    ++count_;
    if (3 * count_ >= 2 * slots_.size()) {
      if (fixed_) throw std::runtime_error(kClosedTableFixedMessage);
      grow();
    }
  }

  std::size_t size() const { return count_; }
  std::size_t slotCount() const { return slots_.size(); }

  // The node of each slot, in slot order (null = empty).
  std::vector<Node*> slots() const {
    std::vector<Node*> nodes;
    nodes.reserve(slots_.size());
    for (std::size_t i = 0; i < slots_.size(); ++i) nodes.push_back(slots_[i].node);
    return nodes;
  }

 private:
  // The hash rides along with the pointer, so that probing past other keys
  // and rehashing on growth never touch the nodes themselves.
  struct Slot {
    std::uint64_t hash;
    Node* node;  // null: empty
  };
  static_assert(std::is_trivially_copyable_v<Slot> && sizeof(Slot) == kClosedSlotBytes);

  // Slots in zero-filled memory, where all-zero bytes are an empty slot. A
  // large table is mapped from the kernel directly: its pages arrive zeroed
  // as they are touched, so a generous capacity hint costs address space
  // rather than the time and memory of writing every slot up front. A table
  // made by growth is a third full at once and touched all over, so it takes
  // huge pages where the system allows: every lookup lands on a random slot
  // and would otherwise miss the TLB as well as the cache.
  class SlotArray {
   public:
    SlotArray() = default;
    SlotArray(std::size_t count, PageSize pages) : memory_(zeroedMemory(bytesFor(count), pages)), size_(count) {}
    std::size_t size() const { return size_; }
    Slot& operator[](std::size_t i) { return static_cast<Slot*>(memory_.get())[i]; }
    const Slot& operator[](std::size_t i) const { return static_cast<const Slot*>(memory_.get())[i]; }

   private:
    static std::size_t bytesFor(std::size_t count) {
      std::size_t bytes = 0;
      if (__builtin_mul_overflow(count, sizeof(Slot), &bytes)) throw std::bad_alloc();
      return bytes;
    }
    ZeroedMemory memory_;
    std::size_t size_ = 0;
  };

  Position locateIn(const SlotArray& slots, StateBytes key, std::uint64_t hash) const {
    Position position;
    position.hash = hash;
    position.slot_count = slots.size();
    ProbeSequence probe(scheme_, hash, slots.size() - 1);
    for (std::size_t probes = 0; probes < slots.size(); ++probes, probe.advance()) {
      const Slot& slot = slots[probe.index()];
      if (slot.node == nullptr) {
        position.kind = Position::Kind::Empty;
        position.slot = probe.index();
        return position;
      }
      if (slot.hash == hash && slot.node->state == key) {
        position.kind = Position::Kind::Match;
        position.slot = probe.index();
        position.match = slot.node;
        return position;
      }
    }
    return position;
  }

  // Doubles the slots and re-inserts the old entries in slot order, probing
  // with their stored hashes. The keys are distinct, so each entry goes to
  // the first empty slot of its sequence without its key being compared,
  // and no node is read.
  void grow() {
    SlotArray old = std::exchange(slots_, SlotArray(2 * slots_.size(), PageSize::HugeWherePossible));
    constexpr std::size_t kPrefetchDistance = 32;  // entries ahead, in old slot order
    for (std::size_t i = 0; i < old.size(); ++i) {
      if (i + kPrefetchDistance < old.size() && old[i + kPrefetchDistance].node != nullptr) {
        prefetchSlot(old[i + kPrefetchDistance].hash);
      }
      const Slot& entry = old[i];
      if (entry.node != nullptr) slots_[firstEmptySlot(entry.hash)] = entry;
    }
  }

  std::size_t firstEmptySlot(std::uint64_t hash) const {
    ProbeSequence probe(scheme_, hash, slots_.size() - 1);
    for (std::size_t probes = 0; probes < slots_.size(); ++probes, probe.advance()) {
      if (slots_[probe.index()].node == nullptr) return probe.index();
    }
    throw std::runtime_error(kClosedTableFullMessage);
  }

  ProbeScheme scheme_ = ProbeScheme::PythonDict;
  SlotArray slots_;
  std::size_t count_ = 0;
  bool fixed_;
};

}  // namespace kestrel
