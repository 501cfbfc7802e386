#pragma once

// OPEN of the tensor solver: parallel tensors of node indices and costs.
// A pop takes the cheapest batch, equal costs in queue (insertion) order.
// Costs of up to 32 bits also carry a key per entry: the cost as an
// order-preserving integer above the entry's insertion number. Keys are
// distinct and in pop order, so a pop is one top-k over them; popped and
// removed rows stay where they are with a key above every other, and are
// dropped in one pass once they outnumber the live ones. Wider costs keep
// rows in queue order and pop through a stable sort of the candidates.
// Buffered (preallocated rows, views of the live part) unless an adaptive
// queue starts with a capacity no larger than its first contents.

#include <ATen/core/Tensor.h>
#include <c10/core/Device.h>
#include <c10/core/ScalarType.h>

#include <cstdint>

#include "kestrel/export.h"

namespace kestrel {

class KESTREL_EXPORT TorchOpenQueue {
 public:
  // Starts with the given entries (the start node). Fixed mode with a
  // capacity below their count throws std::invalid_argument "fixed OPEN
  // capacity is smaller than the initial OPEN size".
  TorchOpenQueue(const at::Tensor& index, const at::Tensor& cost, c10::ScalarType index_dtype,
                 c10::ScalarType cost_dtype, c10::Device device, std::int64_t capacity, bool fixed);

  // Buffered queues grow to max(2 * rows, need); fixed mode throws
  // std::runtime_error "fixed OPEN capacity exhausted at capacity=<rows>".
  void ensureCapacity(std::int64_t need);
  // The whole queue becomes these entries, in this order.
  void replace(const at::Tensor& index, const at::Tensor& cost);
  void append(const at::Tensor& index, const at::Tensor& cost);

  // Removes and returns the `batch` cheapest entries (fewer when the queue
  // holds fewer), in ascending cost order, equal costs in queue order; their
  // costs only when asked for (a search needs the nodes alone).
  struct Popped {
    at::Tensor nodes;  // int64
    at::Tensor costs;  // the OPEN cost dtype; undefined unless asked for
  };
  enum class PoppedCosts { Gather, Skip };
  Popped pop(std::int64_t batch, PoppedCosts costs = PoppedCosts::Gather);

  // Removes every entry whose node index is in `node_ids` (int64); every node
  // index of the queue and of `node_ids` is below `node_count`.
  void removeNodes(const at::Tensor& node_ids, std::int64_t node_count);

  std::int64_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool buffered() const { return buffered_; }
  std::int64_t bufferRows() const;  // 0 when unbuffered
  // The entries in queue order.
  at::Tensor index() const;
  at::Tensor cost() const;

 private:
  at::Tensor cheapestPositions(std::int64_t k) const;
  Popped popByKeys(std::int64_t k, PoppedCosts costs);
  // Drops the removed rows of a keyed queue; compactIfSparse() once they
  // outnumber the live ones.
  void compact();
  void compactIfSparse();
  // The live rows of a keyed queue in insertion order.
  at::Tensor queueOrder() const;
  // The first of `n` more insertion numbers, renumbering the queue first
  // when they would run out.
  std::int64_t takeNumbers(std::int64_t n);
  // Keys for new entries numbered from `first`, written into `out` (a row
  // range of the key buffer) when given.
  at::Tensor keysFor(const at::Tensor& cost, std::int64_t first, const at::Tensor* out = nullptr) const;
  void assign(const at::Tensor& index, const at::Tensor& cost, const at::Tensor& keys);
  void setRows(std::int64_t rows);

  c10::ScalarType index_dtype_;
  c10::ScalarType cost_dtype_;
  c10::Device device_;
  bool fixed_;
  bool buffered_ = false;
  bool keyed_ = false;  // costs of up to 32 bits: rows carry keys
  std::int64_t next_number_ = 0;
  std::int64_t size_ = 0;                                // live entries
  std::int64_t rows_ = 0;                                // rows of the tensors below: removed ones included
  at::Tensor index_, cost_, keys_;                       // the rows in use
  at::Tensor index_buffer_, cost_buffer_, keys_buffer_;  // buffered mode only
  at::Tensor node_marks_;                                // bool per node, all false between removals
};

// "in_place" mode: CLOSED entry index -> node index (-1 = none). Starts with
// the CLOSED capacity request as length and entry 0 mapped to the start node.
class KESTREL_EXPORT ClosedNodeIndex {
 public:
  ClosedNodeIndex(std::int64_t length, std::int64_t start_node, c10::Device device, bool fixed);

  // Grows (doubling from max(length, 1)) to at least `need`, new elements -1.
  // Fixed mode throws std::runtime_error "fixed CLOSED node-index capacity
  // exhausted at capacity=<length>".
  void ensureLength(std::int64_t need);

  std::int64_t length() const;
  at::Tensor& values() { return values_; }
  const at::Tensor& values() const { return values_; }

 private:
  at::Tensor values_;  // int64
  bool fixed_;
};

}  // namespace kestrel
