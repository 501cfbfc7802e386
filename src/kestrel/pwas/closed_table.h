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

  ClosedTable(const std::string& algorithm, std::uint64_t capacity, bool fixed) : algorithm_(algorithm), fixed_(fixed) {
    if (!isHashtableAlgorithm(algorithm)) throw std::invalid_argument(kHashtableAlgorithmMessage);
    scheme_ = algorithm == "linear_probing" ? ProbeScheme::LinearProbing : ProbeScheme::PythonDict;
    slots_.assign(nextPowerOfTwo(capacity < 1 ? 1 : capacity), nullptr);
  }

  // The node holding an equal key, or null.
  Node* find(const std::vector<std::uint8_t>& key) const {
    const std::size_t probe_limit = slots_.size();
    ProbeSequence probe(scheme_, stateHash(key.data(), key.size()), slots_.size() - 1);
    for (std::size_t probes = 0; probes < probe_limit; ++probes, probe.advance()) {
      Node* slot = slots_[probe.index()];
      if (slot == nullptr) return nullptr;
      if (sameKey(slot->state, key)) return slot;
    }
    return nullptr;
  }

  // Stores `node` under its state; an equal key is overwritten.
  void insert(Node* node) {
    if (place(slots_, node)) {
      ++count_;
      if (3 * count_ >= 2 * slots_.size()) {
        if (fixed_) throw std::runtime_error(kClosedTableFixedMessage);
        grow();
      }
    }
  }

  std::size_t size() const { return count_; }
  std::size_t slotCount() const { return slots_.size(); }
  const std::vector<Node*>& slots() const { return slots_; }

 private:
  static bool sameKey(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
  }

  // True when an empty slot was filled, false when an equal key was replaced.
  bool place(std::vector<Node*>& slots, Node* node) const {
    const std::size_t probe_limit = slots.size();
    if (probe_limit == 0) throw std::runtime_error(kClosedTableFullMessage);
    ProbeSequence probe(scheme_, stateHash(node->state.data(), node->state.size()), slots.size() - 1);
    for (std::size_t probes = 0; probes < probe_limit; ++probes, probe.advance()) {
      Node*& slot = slots[probe.index()];
      if (slot == nullptr) {
        slot = node;
        return true;
      }
      if (sameKey(slot->state, node->state)) {
        slot = node;
        return false;
      }
    }
    throw std::runtime_error(kClosedTableFullMessage);
  }

  void grow() {
    std::vector<Node*> old(2 * slots_.size(), nullptr);
    old.swap(slots_);
    count_ = 0;
    for (Node* node : old) {
      if (node != nullptr && place(slots_, node)) ++count_;
    }
  }

  std::string algorithm_;
  ProbeScheme scheme_ = ProbeScheme::PythonDict;
  std::vector<Node*> slots_;
  std::size_t count_ = 0;
  bool fixed_;
};

}  // namespace kestrel
