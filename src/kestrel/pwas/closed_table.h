#pragma once

// CLOSED: open addressing over node pointers keyed by the nodes' state bytes.
// Does not own the nodes. Grows by doubling at two-thirds load ("adaptive") or
// fails there ("fixed"). There is no deletion.

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "kestrel/pwas/probe_sequence.h"
#include "kestrel/pwas/search_node.h"
#include "kestrel/pwas/settings.h"
#include "kestrel/pwas/state_hash.h"

namespace kestrel {

inline constexpr const char* kClosedTableFixedMessage = "C++ CLOSED state table reached fixed capacity";
inline constexpr const char* kClosedTableFullMessage = "C++ CLOSED state table is full";
inline constexpr const char* kHashtableAlgorithmMessage =
    "hashtable_algorithm must be 'linear_probing' or 'python_dict'";

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
    Node* match = nullptr;  // the node of the equal key; null unless kind is Match
  };

  ClosedTable(const std::string& algorithm, std::uint64_t capacity, bool fixed) : algorithm_(algorithm), fixed_(fixed) {
    if (!isHashtableAlgorithm(algorithm)) throw std::invalid_argument(kHashtableAlgorithmMessage);
    scheme_ = algorithm == "linear_probing" ? ProbeScheme::LinearProbing : ProbeScheme::PythonDict;
    slots_.assign(nextPowerOfTwo(capacity < 1 ? 1 : capacity), Slot{});
  }

  // Follows the key's probe sequence once. The search loop looks a successor
  // up with this and, when it accepts it, stores it with insertAt() without
  // probing again.
  Position locate(const std::vector<std::uint8_t>& key) const {
    return locate(key, stateHash(key.data(), key.size()));
  }

  // The same with the key's stateHash computed beforehand (the search hashes
  // a whole batch of successors on its worker threads).
  Position locate(const std::vector<std::uint8_t>& key, std::uint64_t hash) const {
    return locateIn(slots_, key.data(), key.size(), hash);
  }

  // Asks the processor to fetch the first slot a key of this hash probes, so
  // that a batch of lookups overlaps its cache misses.
  void prefetch(std::uint64_t hash) const { __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]); }

  // The node holding an equal key, or null.
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
    for (const Slot& slot : slots_) nodes.push_back(slot.node);
    return nodes;
  }

 private:
  // The hash rides along with the pointer, so that probing past other keys
  // and rehashing on growth never touch the nodes themselves.
  struct Slot {
    std::uint64_t hash = 0;
    Node* node = nullptr;
  };

  Position locateIn(const std::vector<Slot>& slots, const std::uint8_t* key, std::size_t size,
                    std::uint64_t hash) const {
    Position position;
    position.hash = hash;
    ProbeSequence probe(scheme_, hash, slots.size() - 1);
    for (std::size_t probes = 0; probes < slots.size(); ++probes, probe.advance()) {
      const Slot& slot = slots[probe.index()];
      if (slot.node == nullptr) {
        position.kind = Position::Kind::Empty;
        position.slot = probe.index();
        return position;
      }
      if (slot.hash == hash && sameKey(slot.node->state, key, size)) {
        position.kind = Position::Kind::Match;
        position.slot = probe.index();
        position.match = slot.node;
        return position;
      }
    }
    return position;
  }

  static bool sameKey(const std::vector<std::uint8_t>& stored, const std::uint8_t* key, std::size_t size) {
    return stored.size() == size && (size == 0 || std::memcmp(stored.data(), key, size) == 0);
  }

  // Doubles the slots and re-inserts the old entries in slot order, probing
  // with their stored hashes.
  void grow() {
    std::vector<Slot> old(2 * slots_.size(), Slot{});
    old.swap(slots_);
    count_ = 0;
    for (const Slot& entry : old) {
      if (entry.node == nullptr) continue;
      const Position position =
          locateIn(slots_, entry.node->state.data(), entry.node->state.size(), entry.hash);
      if (position.kind == Position::Kind::Exhausted) throw std::runtime_error(kClosedTableFullMessage);
      slots_[position.slot] = entry;
      if (position.kind == Position::Kind::Empty) ++count_;
    }
  }

  std::string algorithm_;
  ProbeScheme scheme_ = ProbeScheme::PythonDict;
  std::vector<Slot> slots_;
  std::size_t count_ = 0;
  bool fixed_;
};

}  // namespace kestrel
