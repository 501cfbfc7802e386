#include "kestrel/torchgpu/open_queue.h"

#include <ATen/ATen.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

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

TorchOpenQueue::TorchOpenQueue(const at::Tensor& index, const at::Tensor& cost, c10::ScalarType index_dtype,
                               c10::ScalarType cost_dtype, c10::Device device, std::int64_t capacity, bool fixed)
    : index_dtype_(index_dtype), cost_dtype_(cost_dtype), device_(device), fixed_(fixed) {
  at::Tensor first_index = entries(index, device_, index_dtype_);
  at::Tensor first_cost = entries(cost, device_, cost_dtype_);
  requireSameCount(first_index, first_cost);
  const std::int64_t n = first_index.size(0);
  if (fixed_ && capacity < n) {
    throw std::invalid_argument("fixed OPEN capacity is smaller than the initial OPEN size");
  }
  size_ = n;
  if (!fixed_ && capacity <= n) {
    // No room to gain from a buffer: appends concatenate instead.
    index_ = std::move(first_index);
    cost_ = std::move(first_cost);
    return;
  }
  buffered_ = true;
  const auto on = at::TensorOptions().device(device_);
  index_buffer_ = at::empty({capacity}, on.dtype(index_dtype_));
  cost_buffer_ = at::empty({capacity}, on.dtype(cost_dtype_));
  index_buffer_.narrow(0, 0, n).copy_(first_index);
  cost_buffer_.narrow(0, 0, n).copy_(first_cost);
  index_ = index_buffer_.narrow(0, 0, n);
  cost_ = cost_buffer_.narrow(0, 0, n);
}

std::int64_t TorchOpenQueue::bufferRows() const { return buffered_ ? index_buffer_.size(0) : 0; }

void TorchOpenQueue::ensureCapacity(std::int64_t need) {
  const std::int64_t rows = bufferRows();
  if (!buffered_ || need <= rows) {
    return;
  }
  if (fixed_) {
    throw std::runtime_error("fixed OPEN capacity exhausted at capacity=" + std::to_string(rows));
  }
  const std::int64_t grown = rows > std::numeric_limits<std::int64_t>::max() / 2 ? need : std::max(2 * rows, need);
  at::Tensor index_buffer = at::empty({grown}, index_buffer_.options());
  at::Tensor cost_buffer = at::empty({grown}, cost_buffer_.options());
  index_buffer.narrow(0, 0, size_).copy_(index_);
  cost_buffer.narrow(0, 0, size_).copy_(cost_);
  index_buffer_ = std::move(index_buffer);
  cost_buffer_ = std::move(cost_buffer);
  index_ = index_buffer_.narrow(0, 0, size_);
  cost_ = cost_buffer_.narrow(0, 0, size_);
}

void TorchOpenQueue::replace(const at::Tensor& index, const at::Tensor& cost) {
  at::Tensor next_index = entries(index, device_, index_dtype_);
  at::Tensor next_cost = entries(cost, device_, cost_dtype_);
  requireSameCount(next_index, next_cost);
  const std::int64_t n = next_index.size(0);
  if (!buffered_) {
    index_ = std::move(next_index);
    cost_ = std::move(next_cost);
    size_ = n;
    return;
  }
  ensureCapacity(n);
  size_ = n;
  index_buffer_.narrow(0, 0, n).copy_(next_index);
  cost_buffer_.narrow(0, 0, n).copy_(next_cost);
  index_ = index_buffer_.narrow(0, 0, n);
  cost_ = cost_buffer_.narrow(0, 0, n);
}

void TorchOpenQueue::append(const at::Tensor& index, const at::Tensor& cost) {
  at::Tensor more_index = entries(index, device_, index_dtype_);
  at::Tensor more_cost = entries(cost, device_, cost_dtype_);
  requireSameCount(more_index, more_cost);
  const std::int64_t n = more_index.size(0);
  if (n == 0) {
    return;
  }
  if (!buffered_) {
    index_ = at::cat({index_, more_index});
    cost_ = at::cat({cost_, more_cost});
    size_ += n;
    return;
  }
  ensureCapacity(size_ + n);
  index_buffer_.narrow(0, size_, n).copy_(more_index);
  cost_buffer_.narrow(0, size_, n).copy_(more_cost);
  size_ += n;
  index_ = index_buffer_.narrow(0, 0, size_);
  cost_ = cost_buffer_.narrow(0, 0, size_);
}

// Costs of at most 32 bits as integers in the same order, with each float's
// two zeros made one and every NaN the largest value, as the sort sees them;
// none for wider costs.
std::optional<at::Tensor> orderedCostBits(const at::Tensor& cost) {
  const auto floatBits = [&](c10::ScalarType bits_type, std::int64_t magnitude) {
    // Adding +0 turns -0 into +0; a NaN becomes the positive quiet NaN, whose
    // bits lie above infinity's.
    const at::Tensor canonical = at::where(cost.isnan(), std::numeric_limits<double>::quiet_NaN(), cost.add(0.0));
    const at::Tensor bits = canonical.view(bits_type).to(at::kLong);
    // Negative floats count down as their bits count up: flip their magnitude.
    return bits ^ (bits.lt(0).to(at::kLong) * magnitude);
  };
  switch (cost.scalar_type()) {
    case at::kFloat:
      return floatBits(at::kInt, 0x7FFFFFFF);
    case at::kHalf:
    case at::kBFloat16:
      return floatBits(at::kShort, 0x7FFF);
    case at::kInt:
    case at::kShort:
    case at::kChar:
    case at::kByte:
      return cost.to(at::kLong);
    default:
      return std::nullopt;
  }
}

// The first k positions of a stable ascending sort of the costs: ordered by
// cost, equal costs in queue order.
at::Tensor TorchOpenQueue::cheapestPositions(std::int64_t k) const {
  // Narrow costs with their queue position below them are distinct keys in
  // the stable order: one top-k, without asking the host anything.
  if (const std::optional<at::Tensor> bits = orderedCostBits(cost_); bits && size_ < (std::int64_t{1} << 32)) {
    const at::Tensor keys = at::bitwise_left_shift(*bits, 32) | at::arange(size_, bits->options());
    return std::get<1>(keys.topk(k, 0, /*largest=*/false, /*sorted=*/true));
  }
  const auto stableAscending = [](const at::Tensor& values) {
    return at::argsort(values, /*stable=*/true, /*dim=*/0, /*descending=*/false);
  };
  // Sorting the whole queue every iteration costs more and more as it grows,
  // so only the entries no dearer than the k-th smallest cost are sorted;
  // they hold the same first k.
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

TorchOpenQueue::Popped TorchOpenQueue::pop(std::int64_t batch) {
  const std::int64_t k = std::max<std::int64_t>(std::min(size_, batch), 0);
  if (k == 0) {
    const auto on = at::TensorOptions().device(device_);
    return {at::empty({0}, on.dtype(at::kLong)), at::empty({0}, on.dtype(cost_dtype_))};
  }
  const at::Tensor selected = cheapestPositions(k);
  Popped popped{index_.index_select(0, selected).to(at::kLong), cost_.index_select(0, selected)};
  at::Tensor keep = at::ones({size_}, at::TensorOptions().device(device_).dtype(at::kBool));
  keep.index_fill_(0, selected, false);
  // The host knows how many stay: no read of the mask.
  const at::Tensor rest = at::nonzero_static(keep, size_ - k).reshape({-1});
  replace(index_.index_select(0, rest), cost_.index_select(0, rest));
  return popped;
}

void TorchOpenQueue::removeNodes(const at::Tensor& node_ids, std::int64_t node_count) {
  if (size_ == 0 || node_ids.numel() == 0) {
    return;
  }
  // A mark per node and one gather, linear in the queue: membership through
  // a sort of the whole queue would cost that sort every iteration.
  at::Tensor removed = at::zeros({node_count}, index_.options().dtype(at::kBool));
  removed.index_fill_(0, node_ids.to(device_, at::kLong).reshape({-1}), true);
  const at::Tensor keep = removed.index_select(0, index_.to(at::kLong)).logical_not();
  replace(index_.index({keep}), cost_.index({keep}));
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
