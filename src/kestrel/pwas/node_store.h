#pragma once

// Owns every node of one solve and a copy of each node's state bytes (inside
// the node when they are short). Both live in large blocks: storing a node
// allocates nothing of its own, the blocks never move, so a node and its
// bytes keep their addresses until the solve ends, and a solve's nodes are
// released in a few calls.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "kestrel/pwas/search_node.h"

namespace kestrel {

inline constexpr const char* kNodeStoreFullMessage = "C++ node store reached fixed capacity";
inline constexpr const char* kNodeIdsExhaustedMessage = "C++ node store cannot number more than 2^32 nodes";

// Byte strings appended into 1 MiB blocks (a larger string gets a block of
// its own). What copy() returns stays in place until the arena is destroyed.
class ByteArena {
 public:
  const std::uint8_t* copy(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return nullptr;
    if (size > left_) {
      const std::size_t block = std::max(kBlockBytes, size);
      blocks_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(block));
      next_ = blocks_.back().get();
      left_ = block;
    }
    std::uint8_t* stored = next_;
    std::memcpy(stored, bytes, size);
    next_ += size;
    left_ -= size;
    return stored;
  }

 private:
  static constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
  std::vector<std::unique_ptr<std::uint8_t[]>> blocks_;
  std::uint8_t* next_ = nullptr;
  std::size_t left_ = 0;
};

template <typename Costs>
class NodeStore {
 public:
  using Node = SearchNode<Costs>;

  NodeStore(std::uint64_t capacity, bool fixed) : capacity_(capacity), fixed_(fixed) {
    blocks_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(capacity / kNodesPerBlock + 1, 1u << 20)));
  }

  // Stores a node for `env` (taking it) with a copy of `state`, the bytes its
  // state() returned: the next id, closed_cost `depth`, heuristic 0 until the
  // search sets it. In fixed mode a store that already holds `capacity`
  // nodes refuses more.
  Node* add(std::unique_ptr<Environment> env, StateBytes state, std::int32_t depth, std::int32_t move, Node* parent) {
    if (fixed_ && count_ >= capacity_) throw std::runtime_error(kNodeStoreFullMessage);
    if (count_ > kLastId) throw std::runtime_error(kNodeIdsExhaustedMessage);
    if (count_ % kNodesPerBlock == 0) blocks_.emplace_back();
    Node* node = blocks_.back().at(count_ % kNodesPerBlock);
    node->state = StateBytes(copyState(*node, state), static_cast<std::uint32_t>(state.size()));
    node->env = std::move(env);
    node->id = static_cast<NodeId>(count_);
    node->depth = depth;
    node->move = move;
    node->closed_cost = static_cast<typename Costs::ClosedCost>(depth);
    node->heuristic = 0;
    node->parent = parent;
    ++count_;
    return node;
  }

  std::size_t size() const { return count_; }

  // The stored node numbered `id`.
  Node* node(NodeId id) const { return blocks_[id / kNodesPerBlock].at(id % kNodesPerBlock); }

 private:
  static constexpr std::size_t kNodesPerBlock = 4096;
  static constexpr std::uint64_t kLastId = std::numeric_limits<NodeId>::max();

  // kNodesPerBlock value-initialised nodes starting on a cache line, so that
  // a node of up to 64 bytes (the common cost types with a short state) is
  // read with one miss.
  class Block {
   public:
    Block() : nodes_(static_cast<Node*>(::operator new(kBytes, kAlignment))) {
      std::uninitialized_value_construct_n(nodes_, kNodesPerBlock);
    }
    Block(Block&& other) noexcept : nodes_(std::exchange(other.nodes_, nullptr)) {}
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    Block& operator=(Block&&) = delete;
    ~Block() {
      if (nodes_ == nullptr) return;
      std::destroy_n(nodes_, kNodesPerBlock);
      ::operator delete(nodes_, kAlignment);
    }
    Node* at(std::size_t i) const { return nodes_ + i; }

   private:
    static constexpr std::size_t kBytes = kNodesPerBlock * sizeof(Node);
    static constexpr std::align_val_t kAlignment{64};
    Node* nodes_;
  };

  // Where the node's copy of its state bytes goes: into the node itself when
  // they fit, else into the arena.
  const std::uint8_t* copyState(Node& node, StateBytes state) {
    if (state.size() > kInlineStateBytes) return bytes_.copy(state.data(), state.size());
    if (state.size() > 0) std::memcpy(node.inline_state.data(), state.data(), state.size());
    return node.inline_state.data();
  }

  std::vector<Block> blocks_;
  ByteArena bytes_;
  std::uint64_t count_ = 0;
  std::uint64_t capacity_;
  bool fixed_;
};

}  // namespace kestrel
