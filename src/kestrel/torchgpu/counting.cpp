#include "kestrel/torchgpu/counting.h"

#include <ATen/ATen.h>

#include <bit>

namespace kestrel {

at::Tensor countTrue(const at::Tensor& mask) {
  return mask.device().is_cpu() ? at::count_nonzero(mask) : mask.sum(at::kLong);
}

at::Tensor anyTrue(const at::Tensor& mask) { return mask.device().is_cpu() ? at::count_nonzero(mask) : mask.any(); }

std::vector<std::int64_t> readCounts(std::initializer_list<DeviceCount> counts) {
  std::vector<int> bits;
  int total_bits = 0;
  for (const DeviceCount& count : counts) {
    bits.push_back(static_cast<int>(std::bit_width(static_cast<std::uint64_t>(count.limit))));
    total_bits += bits.back();
  }
  std::vector<std::int64_t> values;
  if (total_bits > 62) {
    for (const DeviceCount& count : counts) values.push_back(count.value.item<std::int64_t>());
    return values;
  }
  // Each step shifts what is packed so far above the next count: one add.
  at::Tensor packed;
  std::size_t i = 0;
  for (const DeviceCount& count : counts) {
    // A bool flag widens inside the add; the first count is made int64.
    packed = packed.defined() ? at::add(count.value, packed, std::int64_t{1} << bits[i]) : count.value.to(at::kLong);
    ++i;
  }
  std::int64_t value = packed.item<std::int64_t>();
  values.resize(counts.size());
  for (std::size_t k = counts.size(); k-- > 0;) {
    values[k] = value & ((std::int64_t{1} << bits[k]) - 1);
    value >>= bits[k];
  }
  return values;
}

}  // namespace kestrel
