#pragma once

// Every node of a tensor solve that survived the CLOSED filter, as column
// tensors on the solve's device addressed by a 64-bit node index. Node
// indices are never reused; in "in_place" mode a row may be overwritten by a
// cheaper version of the same state. Rows at or beyond size() are undefined.

#include <ATen/core/Tensor.h>
#include <c10/core/Device.h>
#include <c10/core/ScalarType.h>

#include <cstdint>

#include "kestrel/export.h"

namespace kestrel {

struct NodeColumnTypes {
  c10::ScalarType state, path_cost, heuristic, total_cost, parent_index, parent_move;
};

// The columns of a batch of nodes, in any dtypes; the store converts each to
// its own (depth to int64, solved to bool). All hold the same number of rows.
struct NodeRows {
  at::Tensor states;  // (n, W)
  at::Tensor depth;
  at::Tensor path_cost;
  at::Tensor heuristic;
  at::Tensor total_cost;
  at::Tensor solved;
  at::Tensor parent_index;  // -1 for the start node
  at::Tensor parent_move;   // -1 for the start node
};

class KESTREL_EXPORT TorchNodeStore {
 public:
  TorchNodeStore(std::int64_t state_width, c10::Device device, const NodeColumnTypes& types, std::int64_t capacity,
                 bool fixed);

  // Appends the rows and returns their new node indices (int64, row order).
  // When full: fixed mode throws std::runtime_error "fixed node-store
  // capacity exhausted at capacity=<n>"; adaptive mode grows to
  // max(2 * capacity, size + n).
  at::Tensor append(const NodeRows& rows);

  // The `n` rows past size(), as views of the columns in their own types,
  // with room made for them as append() makes it. The caller fills them and
  // commitRows(n) makes them nodes. Until then the store refuses to append,
  // write or hand out rows (std::logic_error): growing would leave the views
  // behind.
  NodeRows nextRows(std::int64_t n);
  // Makes the `n` rows nextRows(n) handed out nodes and returns their
  // indices; std::logic_error for another count.
  at::Tensor commitRows(std::int64_t n);

  // Writes the rows at `node_ids`, in any order: indices below size()
  // overwrite their nodes, and the `new_count` others must be exactly
  // size() .. size() + new_count - 1, which become new nodes (throwing as
  // append() does when the store cannot take them). Throws
  // std::invalid_argument "indices and node rows must contain the same
  // number of rows" on a count mismatch.
  void write(const at::Tensor& node_ids, const NodeRows& rows, std::int64_t new_count = 0);

  std::int64_t size() const { return size_; }
  std::int64_t capacity() const { return capacity_; }
  std::int64_t stateWidth() const { return state_width_; }

  // Whole columns (capacity rows); index them with node indices < size().
  const at::Tensor& states() const { return states_; }
  const at::Tensor& depth() const { return depth_; }
  const at::Tensor& pathCost() const { return path_cost_; }
  const at::Tensor& heuristic() const { return heuristic_; }
  const at::Tensor& totalCost() const { return total_cost_; }
  const at::Tensor& solved() const { return solved_; }
  const at::Tensor& parentIndex() const { return parent_index_; }
  const at::Tensor& parentMove() const { return parent_move_; }

 private:
  // Room for `n` more nodes, or the exception append() documents.
  void makeRoom(std::int64_t n);
  void refuseWhilePending(const char* operation) const;

  std::int64_t state_width_;
  c10::Device device_;
  NodeColumnTypes types_;
  std::int64_t capacity_;
  std::int64_t size_ = 0;
  std::int64_t pending_rows_ = -1;  // rows handed out by nextRows(); -1: none
  bool fixed_;
  at::Tensor states_, depth_, path_cost_, heuristic_, total_cost_, solved_, parent_index_, parent_move_;
};

}  // namespace kestrel
