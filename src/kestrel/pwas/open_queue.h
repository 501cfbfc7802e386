#pragma once

// OPEN: a binary min-heap of node pointers keyed by each node's current
// open_cost. The standard heap algorithms fix the pop order among equal costs,
// which is part of the solver's observable behaviour. A node may be present
// more than once; an entry is never moved when its node's cost changes.

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "kestrel/pwas/search_node.h"

namespace kestrel {

inline constexpr const char* kOpenQueueFullMessage = "C++ OPEN queue reached fixed capacity";

template <typename Costs>
class OpenQueue {
 public:
  using Node = SearchNode<Costs>;

  OpenQueue(std::uint64_t capacity, bool fixed) : capacity_(capacity), fixed_(fixed) { heap_.reserve(capacity); }

  void push(Node* node) {
    if (fixed_ && heap_.size() >= capacity_) throw std::runtime_error(kOpenQueueFullMessage);
    heap_.push_back(node);
    std::push_heap(heap_.begin(), heap_.end(), costlier);
  }

  // Removes and returns the entry of smallest open_cost. Not on an empty queue.
  Node* pop() {
    std::pop_heap(heap_.begin(), heap_.end(), costlier);
    Node* top = heap_.back();
    heap_.pop_back();
    return top;
  }

  std::size_t size() const { return heap_.size(); }
  bool empty() const { return heap_.empty(); }

 private:
  static bool costlier(const Node* a, const Node* b) { return a->open_cost > b->open_cost; }

  std::vector<Node*> heap_;
  std::uint64_t capacity_;
  bool fixed_;
};

}  // namespace kestrel
