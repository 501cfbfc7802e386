#pragma once

// One node of the CPU search: its environment, its state bytes (the CLOSED
// key), its path and its costs. Nodes and their state bytes live in the node
// store (node_store.h), which keeps both in place for the whole solve.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "kestrel/env/environment.h"

namespace kestrel {

// Stands in for closed_cost when its type equals the OPEN-cost type: the
// record then carries no such field, and writes to it vanish.
struct OmittedCost {
  template <typename T>
  OmittedCost& operator=(T) {
    return *this;
  }
};

inline constexpr const char* kStateTooLargeMessage = "Environment state() is larger than 4 GiB";

// A read-only view of state bytes held elsewhere (the node store, or the
// search's per-iteration copy of its successors' states).
class StateBytes {
 public:
  StateBytes() = default;
  StateBytes(const std::uint8_t* data, std::uint32_t size) : data_(data), size_(size) {}
  // Throws std::runtime_error for more than 4 GiB.
  explicit StateBytes(const std::vector<std::uint8_t>& bytes) : data_(bytes.data()), size_(checkedSize(bytes)) {}

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

  friend bool operator==(StateBytes a, StateBytes b) {
    return a.size_ == b.size_ && equalBytes(a.data_, b.data_, a.size_);
  }
  friend bool operator==(StateBytes a, const std::vector<std::uint8_t>& b) { return a == StateBytes(b); }

 private:
  // Short keys, the common case, are compared in place: a library call costs
  // more than the comparison.
  static bool equalBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) {
    if (size > 32) return std::memcmp(a, b, size) == 0;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
      if (std::memcmp(a + i, b + i, 8) != 0) return false;  // one word compare, inline
    }
    for (; i < size; ++i) {
      if (a[i] != b[i]) return false;
    }
    return true;
  }
  static std::uint32_t checkedSize(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() > UINT32_MAX) throw std::runtime_error(kStateTooLargeMessage);
    return static_cast<std::uint32_t>(bytes.size());
  }

  const std::uint8_t* data_ = nullptr;
  std::uint32_t size_ = 0;
};

// States of up to this many bytes are kept inside their node: a CLOSED probe
// that meets a slot of its hash then compares the key from the node it reads
// anyway, rather than missing the cache once more for bytes kept elsewhere.
inline constexpr std::size_t kInlineStateBytes = 16;

// A node's place in the order of storing, from 0: the node store finds the
// node by it, and OPEN keys its priorities by it.
using NodeId = std::uint32_t;

template <typename Costs>
struct SearchNode {
  using OpenCost = typename Costs::OpenCost;
  using ClosedCost =
      std::conditional_t<std::is_same_v<typename Costs::ClosedCost, OpenCost>, OmittedCost, typename Costs::ClosedCost>;
  using Heuristic = typename Costs::Heuristic;

  std::unique_ptr<Environment> env;
  StateBytes state;        // copy of env->state() taken when the node was stored (see inline_state)
  NodeId id = 0;           // its priority f is OPEN's key for this id
  std::int32_t depth = 0;  // moves from the start: the path cost g
  std::int32_t move = -1;  // position in the parent's expand() result
  [[no_unique_address]] ClosedCost closed_cost{};
  Heuristic heuristic = 0;
  SearchNode* parent = nullptr;                              // non-owning; null for the start node
  std::array<std::uint8_t, kInlineStateBytes> inline_state;  // where `state` points when it fits
};

}  // namespace kestrel
