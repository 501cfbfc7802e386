#include "kestrel/torchgpu/sort_keys.h"

#include <ATen/ATen.h>
#include <ATen/TensorIterator.h>
#if __has_include(<fbgemm/Utils.h>)
#include <fbgemm/Utils.h>
#endif

#include <array>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace kestrel {

namespace {

// LibTorch sorts 1-D integers on the CPU with a parallel radix sort only from
// at::internal::GRAIN_SIZE (32768) values on, where that sort is available;
// below, its comparison sort costs up to seven times as much as the radix
// sort of a padded copy (13,000 int64 values: 590 us against 185 us), from
// about 5,000 values on.
constexpr std::int64_t kPaddedSortFrom = 5000;
// From about 3,500 values on, that comparison sort also loses to a plain
// byte-wise radix sort on one thread (about 10 ns a value: 4,000 values in
// 40 us against 100 us), which in turn loses to the padded parallel sort
// from about 16,000 on.
constexpr std::int64_t kByteRadixFrom = 3500;
constexpr std::int64_t kByteRadixUntil = 16384;

// A stable ascending sort of contiguous int64 values on the CPU, least
// significant byte first, skipping the bytes every value shares; the
// values with their sign bit flipped sort as unsigned integers.
std::tuple<at::Tensor, at::Tensor> byteRadixSort(const at::Tensor& values) {
  const std::int64_t n = values.size(0);
  constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
  const std::int64_t* input = values.const_data_ptr<std::int64_t>();
  std::vector<std::uint64_t> keys(n), next_keys(n);
  std::vector<std::int64_t> order(n), next_order(n);
  std::array<std::array<std::int64_t, 256>, 8> counts{};
  for (std::int64_t i = 0; i < n; ++i) {
    keys[i] = static_cast<std::uint64_t>(input[i]) ^ kSign;
    order[i] = i;
    for (int byte = 0; byte < 8; ++byte) ++counts[byte][(keys[i] >> (8 * byte)) & 0xFF];
  }
  for (int byte = 0; byte < 8; ++byte) {
    std::array<std::int64_t, 256>& starts = counts[byte];
    bool shared = false;
    std::int64_t start = 0;
    for (std::int64_t& count : starts) {
      shared = shared || count == n;
      start += std::exchange(count, start);
    }
    if (shared) continue;
    for (std::int64_t i = 0; i < n; ++i) {
      const std::int64_t to = starts[(keys[i] >> (8 * byte)) & 0xFF]++;
      next_keys[to] = keys[i];
      next_order[to] = order[i];
    }
    keys.swap(next_keys);
    order.swap(next_order);
  }
  at::Tensor sorted = at::empty({n}, values.options());
  at::Tensor positions = at::empty({n}, values.options());
  std::int64_t* sorted_out = sorted.mutable_data_ptr<std::int64_t>();
  std::int64_t* positions_out = positions.mutable_data_ptr<std::int64_t>();
  for (std::int64_t i = 0; i < n; ++i) {
    sorted_out[i] = static_cast<std::int64_t>(keys[i] ^ kSign);
    positions_out[i] = order[i];
  }
  return {sorted, positions};
}

bool radixSortOnCpu() {
#if __has_include(<fbgemm/Utils.h>)
  static const bool available = fbgemm::is_radix_sort_accelerated_with_openmp();
  return available;
#else
  return false;
#endif
}

}  // namespace

std::tuple<at::Tensor, at::Tensor> stableSort(const at::Tensor& values) {
  const std::int64_t n = values.size(0);
  if (values.is_cpu() && values.scalar_type() == at::kLong && values.dim() == 1 && n >= kByteRadixFrom &&
      n < kByteRadixUntil) {
    return byteRadixSort(values.contiguous());
  }
  const std::int64_t radix_from = at::internal::GRAIN_SIZE;
  if (values.is_cpu() && values.scalar_type() == at::kLong && n >= kPaddedSortFrom && n < radix_from &&
      radixSortOnCpu()) {
    // The padding sorts after every value, ties included (the sort is
    // stable), so the first n rows are the values' own sort.
    at::Tensor padded = at::empty({radix_from}, values.options());
    padded.narrow(0, 0, n).copy_(values);
    padded.narrow(0, n, radix_from - n).fill_(std::numeric_limits<std::int64_t>::max());
    auto [sorted, order] = padded.sort(std::optional<bool>(true), /*dim=*/0);
    return {sorted.narrow(0, 0, n), order.narrow(0, 0, n)};
  }
  // Spelled out because sort(true) would bind to the dimension overload.
  return values.sort(std::optional<bool>(true), /*dim=*/0);
}

std::optional<at::Tensor> orderedCostBits(const at::Tensor& cost) {
  const auto floatBits = [&](c10::ScalarType bits_type) {
    // A NaN becomes the positive quiet NaN, whose bits lie above infinity's.
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    const at::Tensor canonical = at::nan_to_num(cost, std::numeric_limits<double>::quiet_NaN(), kInfinity, -kInfinity);
    // Sign times the magnitude's bits: negative floats count down as their
    // magnitude counts up, and both zeros are 0. Kept in the bits' own width,
    // which holds it, and widened where it meets a 64-bit value.
    return canonical.abs().view(bits_type) * canonical.view(bits_type).sign();
  };
  switch (cost.scalar_type()) {
    case at::kFloat:
      return floatBits(at::kInt);
    case at::kHalf:
    case at::kBFloat16:
      return floatBits(at::kShort);
    case at::kInt:
    case at::kShort:
    case at::kChar:
    case at::kByte:
      return cost;
    default:
      return std::nullopt;
  }
}

}  // namespace kestrel
