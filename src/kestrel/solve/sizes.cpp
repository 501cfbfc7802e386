#include "kestrel/solve/sizes.h"

#include <stdexcept>

namespace kestrel {

std::uint64_t nextPowerOfTwo(std::uint64_t n) {
  constexpr std::uint64_t kLargest = std::uint64_t{1} << 63;
  // Doubling past 2^63 wraps to 0 and would never end.
  if (n > kLargest) throw std::length_error("nextPowerOfTwo: no 64-bit power of two reaches the requested size");
  std::uint64_t power = 1;
  while (power < n) power <<= 1;
  return power;
}

}  // namespace kestrel
