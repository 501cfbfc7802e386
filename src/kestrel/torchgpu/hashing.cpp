#include "kestrel/torchgpu/hashing.h"

#include <cstdint>
#include <stdexcept>

#include <ATen/ATen.h>

namespace kestrel {

namespace {

constexpr std::int64_t kLow32 = 0xFFFFFFFF;

std::int64_t asInt64(std::uint64_t value) { return static_cast<std::int64_t>(value); }

}  // namespace

at::Tensor logicalShiftRight(const at::Tensor& z, int bits) {
  if (bits <= 0 || bits >= 32) throw std::invalid_argument("logicalShiftRight needs 0 < bits < 32");
  // Both halves are non-negative, so the arithmetic shifts below act as
  // logical ones and no intermediate value reaches the sign bit.
  const at::Tensor lo = z & kLow32;
  const at::Tensor hi = at::bitwise_right_shift(z, 32) & kLow32;
  const at::Tensor high_part = at::bitwise_left_shift(at::bitwise_right_shift(hi, bits), 32);
  const at::Tensor carried = at::bitwise_left_shift(hi, 32 - bits) & kLow32;
  return high_part | (at::bitwise_right_shift(lo, bits) | carried);
}

at::Tensor splitMix64(const at::Tensor& z) {
  at::Tensor x = z + asInt64(0x9E3779B97F4A7C15ULL);
  x = (x ^ logicalShiftRight(x, 30)) * asInt64(0xBF58476D1CE4E5B9ULL);
  x = (x ^ logicalShiftRight(x, 27)) * asInt64(0x94D049BB133111EBULL);
  return x ^ logicalShiftRight(x, 31);
}

}  // namespace kestrel
