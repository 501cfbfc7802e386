#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel {

// Hash of a state's bytes, all arithmetic modulo 2^64. Seeded with the length
// so that states of different lengths rarely collide.
inline std::uint64_t stateHash(const std::uint8_t* bytes, std::size_t size) {
  std::uint64_t h = size;
  for (std::size_t i = 0; i < size; ++i) {
    h ^= (h >> 2) + (h << 6) + static_cast<std::uint64_t>(bytes[i]) + 0x9e3779b97f4a7c15ULL;
  }
  return h;
}

}  // namespace kestrel
