#pragma once

// Size arithmetic for capacities derived from user hints, where a wrapped
// value would become a small (or negative) capacity.

#include <cstdint>
#include <limits>

#include "kestrel/export.h"

namespace kestrel {

// Smallest power of two >= n (1 for 0 and 1). Throws std::length_error when
// n exceeds 2^63, which no 64-bit power of two reaches.
KESTREL_EXPORT std::uint64_t nextPowerOfTwo(std::uint64_t n);

// a * b, or the type's extreme value of the product's sign where it overflows.
inline std::uint64_t saturatingProduct(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<std::uint64_t>::max() : product;
}
inline std::int64_t saturatingProduct(std::int64_t a, std::int64_t b) {
  std::int64_t product = 0;
  if (!__builtin_mul_overflow(a, b, &product)) return product;
  return (a > 0) == (b > 0) ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

}  // namespace kestrel
