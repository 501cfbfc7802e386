#include "kestrel/torchgpu/open_queue.h"

#include <ATen/ATen.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "kestrel/torchgpu/counting.h"
#include "kestrel/torchgpu/sort_keys.h"

namespace kestrel {

namespace {

at::Tensor entries(const at::Tensor& values, c10::Device device, c10::ScalarType type) {
  return values.to(device, type).reshape({-1});
}

void requireSameCount(const at::Tensor& index, const at::Tensor& cost) {
  if (index.size(0) != cost.size(0)) {
    throw std::invalid_argument("OPEN index and cost must contain the same number of entries");
  }
}

}  // namespace

namespace {

constexpr std::int64_t kNumberBits = 32;  // insertion numbers, below the cost bits
constexpr std::int64_t kNumberMask = (std::int64_t{1} << kNumberBits) - 1;
// The key of a removed row: above every live key, whose insertion number is
// below kNumberMask.
constexpr std::int64_t kRemoved = std::numeric_limits<std::int64_t>::max();
// Removed rows are dropped once they outnumber the live ones and this.
constexpr std::int64_t kFewestRemovedToCompact = 4096;

bool hasKeys(c10::ScalarType cost_dtype) {
  return orderedCostBits(at::empty({0}, at::TensorOptions().dtype(cost_dtype))).has_value();
}

}  // namespace

TorchOpenQueue::TorchOpenQueue(const at::Tensor& index, const at::Tensor& cost, c10::ScalarType index_dtype,
                               c10::ScalarType cost_dtype, c10::Device device, std::int64_t capacity, bool fixed)
    : index_dtype_(index_dtype), cost_dtype_(cost_dtype), device_(device), fixed_(fixed), keyed_(hasKeys(cost_dtype)) {
  at::Tensor first_index = entries(index, device_, index_dtype_);
  at::Tensor first_cost = entries(cost, device_, cost_dtype_);
  requireSameCount(first_index, first_cost);
  const std::int64_t n = first_index.size(0);
  if (fixed_ && capacity < n) {
    throw std::invalid_argument("fixed OPEN capacity is smaller than the initial OPEN size");
  }
  at::Tensor first_keys = keyed_ ? keysFor(first_cost, takeNumbers(first_cost.size(0))) : at::Tensor();
  size_ = n;
  rows_ = n;
  if (!fixed_ && capacity <= n) {
    // No room to gain from a buffer: appends concatenate instead. Copies, as
    // pops write into the rows and the caller's tensors must stay as they are.
    index_ = first_index.clone();
    cost_ = first_cost.clone();
    keys_ = std::move(first_keys);
    return;
  }
  buffered_ = true;
  const auto on = at::TensorOptions().device(device_);
  index_buffer_ = at::empty({capacity}, on.dtype(index_dtype_));
  cost_buffer_ = at::empty({capacity}, on.dtype(cost_dtype_));
  index_buffer_.narrow(0, 0, n).copy_(first_index);
  cost_buffer_.narrow(0, 0, n).copy_(first_cost);
  if (keyed_) {
    keys_buffer_ = at::empty({capacity}, on.dtype(at::kLong));
    keys_buffer_.narrow(0, 0, n).copy_(first_keys);
  }
  setRows(n);
}

std::int64_t TorchOpenQueue::bufferRows() const { return buffered_ ? index_buffer_.size(0) : 0; }

void TorchOpenQueue::setRows(std::int64_t rows) {
  rows_ = rows;
  index_ = index_buffer_.narrow(0, 0, rows_);
  cost_ = cost_buffer_.narrow(0, 0, rows_);
  if (keyed_) keys_ = keys_buffer_.narrow(0, 0, rows_);
}

std::int64_t TorchOpenQueue::takeNumbers(std::int64_t n) {
  if (next_number_ + n > kNumberMask && size_ > 0) {
    // Insertion numbers would run out: renumber the queue 0, 1, ... in order.
    compact();
    const at::Tensor order = std::get<1>((keys_ & kNumberMask).sort());
    const at::Tensor renumbered = at::empty_like(order).index_copy_(0, order, at::arange(size_, order.options()));
    keys_.copy_((keys_ & ~kNumberMask) | renumbered);
    next_number_ = size_;
  }
  if (next_number_ + n > kNumberMask) throw std::length_error("OPEN cannot number more than 2^32 entries");
  const std::int64_t first = next_number_;
  next_number_ += n;
  return first;
}

at::Tensor TorchOpenQueue::keysFor(const at::Tensor& cost, std::int64_t first, const at::Tensor* out) const {
  const at::Tensor numbers = at::arange(first, first + cost.size(0), cost.options().dtype(at::kLong));
  // The cost bits above the number, in one add: the number fills the low bits.
  constexpr std::int64_t kAboveNumber = std::int64_t{1} << kNumberBits;
  if (out == nullptr) return at::add(numbers, *orderedCostBits(cost), kAboveNumber);
  at::Tensor target = *out;
  return at::add_out(target, numbers, *orderedCostBits(cost), kAboveNumber);
}

void TorchOpenQueue::ensureCapacity(std::int64_t need) {
  const std::int64_t rows = bufferRows();
  if (!buffered_ || need <= rows) {
    return;
  }
  if (fixed_) {
    throw std::runtime_error("fixed OPEN capacity exhausted at capacity=" + std::to_string(rows));
  }
  const std::int64_t grown = rows > std::numeric_limits<std::int64_t>::max() / 2 ? need : std::max(2 * rows, need);
  const auto grow = [&](at::Tensor& buffer, const at::Tensor& live) {
    at::Tensor larger = at::empty({grown}, buffer.options());
    larger.narrow(0, 0, rows_).copy_(live);
    buffer = std::move(larger);
  };
  grow(index_buffer_, index_);
  grow(cost_buffer_, cost_);
  if (keyed_) grow(keys_buffer_, keys_);
  setRows(rows_);
}

void TorchOpenQueue::assign(const at::Tensor& index, const at::Tensor& cost, const at::Tensor& keys) {
  const std::int64_t n = index.size(0);
  if (!buffered_) {
    index_ = index.clone();  // pops write into the rows
    cost_ = cost.clone();
    keys_ = keys;
    size_ = rows_ = n;
    return;
  }
  setRows(0);  // nothing of the old rows is kept if the buffer grows
  ensureCapacity(n);
  if (n > 0) {
    index_buffer_.narrow(0, 0, n).copy_(index);
    cost_buffer_.narrow(0, 0, n).copy_(cost);
    if (keyed_) keys_buffer_.narrow(0, 0, n).copy_(keys);
  }
  size_ = n;
  setRows(n);
}

void TorchOpenQueue::replace(const at::Tensor& index, const at::Tensor& cost) {
  at::Tensor next_index = entries(index, device_, index_dtype_);
  at::Tensor next_cost = entries(cost, device_, cost_dtype_);
  requireSameCount(next_index, next_cost);
  at::Tensor next_keys;
  if (keyed_) {
    // The new entries are the whole queue: they are numbered from 0.
    const std::int64_t live = size_;
    size_ = 0;
    next_number_ = 0;
    next_keys = keysFor(next_cost, takeNumbers(next_cost.size(0)));
    size_ = live;
  }
  assign(next_index, next_cost, next_keys);
}

void TorchOpenQueue::append(const at::Tensor& index, const at::Tensor& cost) {
  at::Tensor more_index = entries(index, device_, index_dtype_);
  at::Tensor more_cost = entries(cost, device_, cost_dtype_);
  requireSameCount(more_index, more_cost);
  const std::int64_t n = more_index.size(0);
  if (n == 0) {
    return;
  }
  const std::int64_t first_number = keyed_ ? takeNumbers(n) : 0;
  if (!buffered_) {
    index_ = at::cat({index_, more_index});
    cost_ = at::cat({cost_, more_cost});
    if (keyed_) keys_ = at::cat({keys_, keysFor(more_cost, first_number)});
    rows_ += n;
    size_ += n;
    return;
  }
  // Removed rows give their room back before the buffer grows (or a fixed
  // one is found too small).
  if (rows_ + n > bufferRows()) compact();
  ensureCapacity(rows_ + n);
  index_buffer_.narrow(0, rows_, n).copy_(more_index);
  cost_buffer_.narrow(0, rows_, n).copy_(more_cost);
  if (keyed_) {
    const at::Tensor more_keys = keys_buffer_.narrow(0, rows_, n);
    keysFor(more_cost, first_number, &more_keys);
  }
  setRows(rows_ + n);
  size_ += n;
}

// The first k positions of a stable ascending sort of the costs: ordered by
// cost, equal costs in queue order. Sorting the whole queue every iteration
// costs more and more as it grows, so only the entries no dearer than the
// k-th smallest cost are sorted; they hold the same first k.
at::Tensor TorchOpenQueue::cheapestPositions(std::int64_t k) const {
  const auto stableAscending = [](const at::Tensor& values) {
    return at::argsort(values, /*stable=*/true, /*dim=*/0, /*descending=*/false);
  };
  if (2 * k < size_) {
    const at::Tensor kth = std::get<0>(cost_.topk(k, 0, /*largest=*/false, /*sorted=*/false)).max();
    const at::Tensor candidates = cost_.le(kth).nonzero().reshape({-1});  // ascending: queue order
    // Fewer candidates than k means costs that do not compare (NaN): sort all.
    if (candidates.size(0) >= k) {
      return candidates.index_select(0, stableAscending(cost_.index_select(0, candidates)).narrow(0, 0, k));
    }
  }
  return stableAscending(cost_).narrow(0, 0, k);
}

TorchOpenQueue::Popped TorchOpenQueue::popByKeys(std::int64_t k, PoppedCosts costs) {
  const at::Tensor selected = std::get<1>(keys_.topk(k, 0, /*largest=*/false, /*sorted=*/true));
  Popped popped{index_.index_select(0, selected).to(at::kLong),
                costs == PoppedCosts::Gather ? cost_.index_select(0, selected) : at::Tensor()};
  keys_.index_fill_(0, selected, kRemoved);
  size_ -= k;
  compactIfSparse();
  return popped;
}

void TorchOpenQueue::compactIfSparse() {
  if (rows_ - size_ > std::max(size_, kFewestRemovedToCompact)) compact();
}

void TorchOpenQueue::compact() {
  if (!keyed_ || rows_ == size_) return;
  if (size_ == 0) {  // a batch popped the whole queue: nothing to gather
    assign(at::empty({0}, index_.options()), at::empty({0}, cost_.options()), at::empty({0}, keys_.options()));
    return;
  }
  // The host knows how many rows live: no read of the mask.
  const at::Tensor live = at::nonzero_static(keys_.ne(kRemoved), size_).reshape({-1});
  assign(index_.index_select(0, live), cost_.index_select(0, live), keys_.index_select(0, live));
}

TorchOpenQueue::Popped TorchOpenQueue::pop(std::int64_t batch, PoppedCosts costs) {
  const std::int64_t k = std::max<std::int64_t>(std::min(size_, batch), 0);
  if (k == 0) {
    const auto on = at::TensorOptions().device(device_);
    return {at::empty({0}, on.dtype(at::kLong)),
            costs == PoppedCosts::Gather ? at::empty({0}, on.dtype(cost_dtype_)) : at::Tensor()};
  }
  if (keyed_) return popByKeys(k, costs);
  const at::Tensor selected = cheapestPositions(k);
  Popped popped{index_.index_select(0, selected).to(at::kLong),
                costs == PoppedCosts::Gather ? cost_.index_select(0, selected) : at::Tensor()};
  at::Tensor keep = at::ones({size_}, at::TensorOptions().device(device_).dtype(at::kBool));
  keep.index_fill_(0, selected, false);
  // The host knows how many stay: no read of the mask.
  const at::Tensor rest = at::nonzero_static(keep, size_ - k).reshape({-1});
  assign(index_.index_select(0, rest), cost_.index_select(0, rest), at::Tensor());
  return popped;
}

void TorchOpenQueue::removeNodes(const at::Tensor& node_ids, std::int64_t node_count) {
  if (size_ == 0 || node_ids.numel() == 0) {
    return;
  }
  // A mark per node and one gather, linear in the queue: membership through
  // a sort of the whole queue would cost that sort every iteration. The
  // marks stay allocated and are cleared after use, so the work beyond the
  // gather is proportional to the nodes removed.
  if (node_marks_.numel() < node_count) {
    node_marks_ = at::zeros({std::max(node_count, 2 * node_marks_.numel())}, index_.options().dtype(at::kBool));
  }
  const at::Tensor ids = node_ids.to(device_, at::kLong).reshape({-1});
  node_marks_.index_fill_(0, ids, true);
  const at::Tensor marked = node_marks_.index_select(0, index_.to(at::kLong));
  node_marks_.index_fill_(0, ids, false);
  if (keyed_) {
    // Rows already removed may still name a marked node.
    const at::Tensor removed = marked.logical_and_(keys_.ne(kRemoved));
    size_ -= countTrue(removed).item<std::int64_t>();
    keys_.masked_fill_(removed, kRemoved);
    compactIfSparse();
    return;
  }
  const at::Tensor kept = marked.logical_not().nonzero().reshape({-1});
  assign(index_.index_select(0, kept), cost_.index_select(0, kept), at::Tensor());
}

// Rows are in insertion order unless they carry keys; then their insertion
// numbers give it.
at::Tensor TorchOpenQueue::index() const { return keyed_ ? index_.index_select(0, queueOrder()) : index_; }

at::Tensor TorchOpenQueue::cost() const { return keyed_ ? cost_.index_select(0, queueOrder()) : cost_; }

at::Tensor TorchOpenQueue::queueOrder() const {
  const at::Tensor live = at::nonzero_static(keys_.ne(kRemoved), size_).reshape({-1});
  return live.index_select(0, std::get<1>((keys_.index_select(0, live) & kNumberMask).sort()));
}

ClosedNodeIndex::ClosedNodeIndex(std::int64_t length, std::int64_t start_node, c10::Device device, bool fixed)
    : values_(at::full({length}, -1, at::TensorOptions().device(device).dtype(at::kLong))), fixed_(fixed) {
  if (length > 0) {
    values_.narrow(0, 0, 1).fill_(start_node);
  }
}

std::int64_t ClosedNodeIndex::length() const { return values_.size(0); }

void ClosedNodeIndex::ensureLength(std::int64_t need) {
  const std::int64_t current = length();
  if (need <= current) {
    return;
  }
  if (fixed_) {
    throw std::runtime_error("fixed CLOSED node-index capacity exhausted at capacity=" + std::to_string(current));
  }
  std::int64_t grown = std::max<std::int64_t>(current, 1);
  while (grown < need) {
    grown = grown > std::numeric_limits<std::int64_t>::max() / 2 ? need : 2 * grown;
  }
  at::Tensor values = at::full({grown}, -1, values_.options());
  values.narrow(0, 0, current).copy_(values_);
  values_ = std::move(values);
}

}  // namespace kestrel
