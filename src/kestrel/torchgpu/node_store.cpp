#include "kestrel/torchgpu/node_store.h"

#include <ATen/ATen.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "kestrel/torchgpu/config.h"

namespace kestrel {

namespace {

// A one-dimensional column of `rows`, converted for storage. Callers may hand
// (n, 1) columns straight from a network; flattening them is free.
at::Tensor column(const at::Tensor& values, c10::Device device, c10::ScalarType type) {
  return values.to(device, type).reshape({-1});
}

// A column with `rows` rows whose first `live` rows are those of `old`.
at::Tensor grown(const at::Tensor& old, std::int64_t rows, std::int64_t live) {
  std::vector<std::int64_t> shape = old.sizes().vec();
  shape[0] = rows;
  at::Tensor fresh = at::empty(shape, old.options());
  fresh.narrow(0, 0, live).copy_(old.narrow(0, 0, live));
  return fresh;
}

}  // namespace

TorchNodeStore::TorchNodeStore(std::int64_t state_width, c10::Device device, const NodeColumnTypes& types,
                               std::int64_t capacity, bool fixed)
    : state_width_(state_width), device_(device), types_(types), capacity_(capacity), fixed_(fixed) {
  const auto on = at::TensorOptions().device(device_);
  states_ = at::empty({capacity_, state_width_}, on.dtype(types_.state));
  depth_ = at::empty({capacity_}, on.dtype(at::kLong));
  path_cost_ = at::empty({capacity_}, on.dtype(types_.path_cost));
  heuristic_ = at::empty({capacity_}, on.dtype(types_.heuristic));
  total_cost_ = at::empty({capacity_}, on.dtype(types_.total_cost));
  solved_ = at::empty({capacity_}, on.dtype(at::kBool));
  parent_index_ = at::empty({capacity_}, on.dtype(types_.parent_index));
  parent_move_ = at::empty({capacity_}, on.dtype(types_.parent_move));
}

void TorchNodeStore::refuseWhilePending(const char* operation) const {
  if (pending_rows_ >= 0) {
    throw std::logic_error(std::string("node store: ") + operation + " before the rows handed out are committed");
  }
}

void TorchNodeStore::makeRoom(std::int64_t n) {
  // A later child stores these indices as its parent index.
  if (size_ + n - 1 > largestExactIndex(types_.parent_index)) {
    throw std::runtime_error("memory_dtype_parent_index cannot hold the node indices -1 to " +
                             std::to_string(size_ + n - 1) + " of this search; choose a wider storage type");
  }
  if (size_ + n > capacity_) {
    if (fixed_) {
      throw std::runtime_error("fixed node-store capacity exhausted at capacity=" + std::to_string(capacity_));
    }
    const std::int64_t rows_needed = std::max(2 * capacity_, size_ + n);
    for (at::Tensor* col :
         {&states_, &depth_, &path_cost_, &heuristic_, &total_cost_, &solved_, &parent_index_, &parent_move_}) {
      *col = grown(*col, rows_needed, size_);
    }
    capacity_ = rows_needed;
  }
}

at::Tensor TorchNodeStore::append(const NodeRows& rows) {
  const std::int64_t n = rows.states.size(0);
  if (n == 0) {
    return at::empty({0}, at::TensorOptions().device(device_).dtype(at::kLong));
  }
  // New indices are contiguous, so each column takes one slice copy, which
  // also converts to the column's dtype and device.
  const NodeRows next = nextRows(n);
  next.states.copy_(rows.states);
  next.depth.copy_(rows.depth.reshape({-1}));
  next.path_cost.copy_(rows.path_cost.reshape({-1}));
  next.heuristic.copy_(rows.heuristic.reshape({-1}));
  next.total_cost.copy_(rows.total_cost.reshape({-1}));
  next.solved.copy_(rows.solved.reshape({-1}));
  next.parent_index.copy_(rows.parent_index.reshape({-1}));
  next.parent_move.copy_(rows.parent_move.reshape({-1}));
  return commitRows(n);
}

NodeRows TorchNodeStore::nextRows(std::int64_t n) {
  refuseWhilePending("nextRows");
  makeRoom(n);
  pending_rows_ = n;
  const auto next = [&](const at::Tensor& column) { return column.narrow(0, size_, n); };
  return {next(states_),     next(depth_),  next(path_cost_),    next(heuristic_),
          next(total_cost_), next(solved_), next(parent_index_), next(parent_move_)};
}

at::Tensor TorchNodeStore::commitRows(std::int64_t n) {
  if (n != pending_rows_) throw std::logic_error("node store: commitRows of rows nextRows did not hand out");
  pending_rows_ = -1;
  at::Tensor ids = at::arange(size_, size_ + n, at::TensorOptions().device(device_).dtype(at::kLong));
  size_ += n;
  return ids;
}

void TorchNodeStore::write(const at::Tensor& node_ids, const NodeRows& rows, std::int64_t new_count) {
  const at::Tensor ids = node_ids.to(device_, at::kLong).reshape({-1});
  if (ids.size(0) != rows.states.size(0)) {
    throw std::invalid_argument("indices and node rows must contain the same number of rows");
  }
  if (ids.size(0) == 0) {
    return;
  }
  refuseWhilePending("write");
  if (new_count > 0) makeRoom(new_count);
  states_.index_copy_(0, ids, rows.states.to(device_, types_.state));
  depth_.index_copy_(0, ids, column(rows.depth, device_, at::kLong));
  path_cost_.index_copy_(0, ids, column(rows.path_cost, device_, types_.path_cost));
  heuristic_.index_copy_(0, ids, column(rows.heuristic, device_, types_.heuristic));
  total_cost_.index_copy_(0, ids, column(rows.total_cost, device_, types_.total_cost));
  solved_.index_copy_(0, ids, column(rows.solved, device_, at::kBool));
  parent_index_.index_copy_(0, ids, column(rows.parent_index, device_, types_.parent_index));
  parent_move_.index_copy_(0, ids, column(rows.parent_move, device_, types_.parent_move));
  size_ += new_count;
}

}  // namespace kestrel
