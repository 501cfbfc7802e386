#pragma once

// Owns every node of one solve. Nodes are only appended; pointers stay valid
// until the solve ends.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "kestrel/pwas/search_node.h"

namespace kestrel {

inline constexpr const char* kNodeStoreFullMessage = "C++ node store reached fixed capacity";

template <typename Costs>
class NodeStore {
 public:
  using Node = SearchNode<Costs>;

  NodeStore(std::uint64_t capacity, bool fixed) : capacity_(capacity), fixed_(fixed) {
    nodes_.reserve(capacity);
  }

  // In fixed mode a store that already holds `capacity` nodes refuses more.
  Node* add(std::unique_ptr<Node> node) {
    if (fixed_ && nodes_.size() >= capacity_) throw std::runtime_error(kNodeStoreFullMessage);
    nodes_.push_back(std::move(node));
    return nodes_.back().get();
  }

  std::size_t size() const { return nodes_.size(); }

 private:
  std::vector<std::unique_ptr<Node>> nodes_;
  std::uint64_t capacity_;
  bool fixed_;
};

}  // namespace kestrel
