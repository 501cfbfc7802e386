#include "kestrel/torchgpu/hashing.h"

#include <ATen/ATen.h>

#include <cstdint>
#include <stdexcept>

namespace kestrel {

namespace {

std::int64_t asInt64(std::uint64_t value) { return static_cast<std::int64_t>(value); }

}  // namespace

at::Tensor logicalShiftRight(const at::Tensor& z, int bits) {
  if (bits <= 0 || bits >= 32) throw std::invalid_argument("logicalShiftRight needs 0 < bits < 32");
  // The arithmetic shift copies the sign bit into the top `bits` bits;
  // clearing them leaves the logical shift (the same value as shifting the
  // two 32-bit halves separately, in two operations instead of eight).
  const std::int64_t kept = asInt64((~std::uint64_t{0}) >> bits);
  return at::bitwise_right_shift(z, bits) & kept;
}

at::Tensor splitMix64(const at::Tensor& z) {
  at::Tensor x = z + asInt64(0x9E3779B97F4A7C15ULL);
  x = (x ^ logicalShiftRight(x, 30)) * asInt64(0xBF58476D1CE4E5B9ULL);
  x = (x ^ logicalShiftRight(x, 27)) * asInt64(0x94D049BB133111EBULL);
  return x ^ logicalShiftRight(x, 31);
}

at::Tensor shortMix63(const at::Tensor& z) {
  const at::Tensor x = (z ^ logicalShiftRight(z, 31)) * asInt64(0xBF58476D1CE4E5B9ULL);
  return x ^ at::bitwise_right_shift(x, 29);
}

}  // namespace kestrel
