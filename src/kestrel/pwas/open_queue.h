#pragma once

// OPEN: a binary min-heap of node ids keyed by each node's current priority.
// The priorities live in one dense array indexed by id, apart from the nodes:
// a heap step then compares keys that stay in cache instead of reaching into
// a node for each comparison. The standard heap algorithms fix the pop order
// among equal keys, which is part of the solver's observable behaviour. A
// node may be queued more than once; setting its key changes the key of
// every entry it has, and no entry moves for it.

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "kestrel/pwas/search_node.h"
#include "kestrel/pwas/settings.h"

namespace kestrel {

inline constexpr const char* kOpenQueueFullMessage = "C++ OPEN queue reached fixed capacity";

template <typename Key>
class OpenQueue {
 public:
  OpenQueue(std::uint64_t capacity, bool fixed) : capacity_(capacity), fixed_(fixed) { heap_.reserve(capacity); }

  // A node's priority, for every entry it has or will have.
  void setKey(NodeId id, Key key) {
    if (id >= keys_.size()) keys_.resize(std::max<std::size_t>(std::size_t{id} + 1, 2 * keys_.size()));
    keys_[id] = key;
  }
  Key key(NodeId id) const { return keys_[id]; }

  // Queues a node whose key is set.
  void push(NodeId id) {
    if (fixed_ && heap_.size() >= capacity_) throw std::runtime_error(kOpenQueueFullMessage);
    heap_.push_back(id);
    std::push_heap(heap_.begin(), heap_.end(), Costlier{keys_.data()});
  }

  // Removes and returns the entry of smallest key. Not on an empty queue.
  NodeId pop() {
    std::pop_heap(heap_.begin(), heap_.end(), Costlier{keys_.data()});
    const NodeId top = heap_.back();
    heap_.pop_back();
    return top;
  }

  std::size_t size() const { return heap_.size(); }
  bool empty() const { return heap_.empty(); }

 private:
  struct Costlier {
    const Key* keys;
    bool operator()(NodeId a, NodeId b) const { return keys[a] > keys[b]; }
  };

  static_assert(sizeof(NodeId) == kOpenEntryBytes);
  std::vector<NodeId> heap_;
  std::vector<Key> keys_;
  std::uint64_t capacity_;
  bool fixed_;
};

}  // namespace kestrel
