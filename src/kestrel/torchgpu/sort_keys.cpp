#include "kestrel/torchgpu/sort_keys.h"

#include <ATen/ATen.h>

#include <limits>

namespace kestrel {

std::optional<at::Tensor> orderedCostBits(const at::Tensor& cost) {
  const auto floatBits = [&](c10::ScalarType bits_type, std::int64_t magnitude) {
    // Adding +0 turns -0 into +0; a NaN becomes the positive quiet NaN, whose
    // bits lie above infinity's.
    const at::Tensor canonical = at::where(cost.isnan(), std::numeric_limits<double>::quiet_NaN(), cost.add(0.0));
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
