#include "kestrel/torchgpu/sort_keys.h"

#include <ATen/ATen.h>
#include <ATen/TensorIterator.h>
#if __has_include(<fbgemm/Utils.h>)
#include <fbgemm/Utils.h>
#endif

#include <cstdint>
#include <limits>

namespace kestrel {

namespace {

// LibTorch sorts 1-D integers on the CPU with a parallel radix sort only from
// at::internal::GRAIN_SIZE (32768) values on, where that sort is available;
// below, its comparison sort costs up to seven times as much as the radix
// sort of a padded copy (13,000 int64 values: 590 us against 185 us), from
// about 5,000 values on.
constexpr std::int64_t kPaddedSortFrom = 5000;

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
  const auto floatBits = [&](c10::ScalarType bits_type, std::int64_t magnitude) {
    // Adding +0 turns -0 into +0; a NaN becomes the positive quiet NaN, whose
    // bits lie above infinity's.
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    const at::Tensor canonical =
        at::nan_to_num(cost.add(0.0), std::numeric_limits<double>::quiet_NaN(), kInfinity, -kInfinity);
    const at::Tensor bits = canonical.view(bits_type).to(at::kLong);
    // Negative floats count down as their bits count up: flip their
    // magnitude (the sign-extended top bit selects them).
    return bits ^ (at::bitwise_right_shift(bits, 63) & magnitude);
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

}  // namespace kestrel
