#pragma once

// Zero-filled memory for the large tables of a solve. A large block is mapped
// from the kernel: its pages arrive zeroed when first touched, so memory
// never touched costs address space only. Asked for, they are huge pages
// (2 MiB on x86-64) where the system allows it, so that random accesses over
// the block miss the TLB less often; but then each first touch commits a
// whole huge page. A small block comes from calloc.

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace kestrel {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

struct ZeroedMemoryRelease {
  std::size_t mapped_bytes = 0;  // 0: from calloc
  void operator()(void* memory) const {
    if (mapped_bytes == 0) {
      std::free(memory);
    } else {
      ::munmap(memory, mapped_bytes);
    }
  }
};

using ZeroedMemory = std::unique_ptr<void, ZeroedMemoryRelease>;

enum class PageSize { Small, HugeWherePossible };

// Throws std::bad_alloc when the memory cannot be had.
inline ZeroedMemory zeroedMemory(std::size_t bytes, PageSize pages) {
  if (bytes < kHugePageBytes) {
    void* memory = std::calloc(bytes == 0 ? 1 : bytes, 1);
    if (memory == nullptr) throw std::bad_alloc();
    return ZeroedMemory(memory, ZeroedMemoryRelease{});
  }
  // Huge pages need a huge-page-aligned range: map one more huge page than
  // asked for and give back what lies outside the aligned range.
  const std::size_t size = (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
  if (size < bytes || size + kHugePageBytes < size) throw std::bad_alloc();
  void* raw = ::mmap(nullptr, size + kHugePageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto first = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (first + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
  if (aligned > first) ::munmap(raw, aligned - first);
  const std::uintptr_t tail = aligned + size;
  const std::uintptr_t end = first + size + kHugePageBytes;
  if (end > tail) ::munmap(reinterpret_cast<void*>(tail), end - tail);
  void* memory = reinterpret_cast<void*>(aligned);
  if (pages == PageSize::HugeWherePossible) ::madvise(memory, size, MADV_HUGEPAGE);  // a hint: may stay small
  return ZeroedMemory(memory, ZeroedMemoryRelease{size});
}

// A growable array of floats in zeroed memory, on huge pages where possible
// (it grows only as it is written); growing keeps the contents.
class FloatBuffer {
 public:
  float* data() { return static_cast<float*>(memory_.get()); }
  const float* data() const { return static_cast<const float*>(memory_.get()); }
  std::size_t size() const { return size_; }

  // At least `size` floats; more room is made by doubling.
  void reserve(std::size_t size) {
    if (size <= size_) return;
    const std::size_t grown = std::max(size, 2 * size_);
    if (grown > SIZE_MAX / sizeof(float)) throw std::bad_alloc();
    ZeroedMemory memory = zeroedMemory(grown * sizeof(float), PageSize::HugeWherePossible);
    if (size_ > 0) std::memcpy(memory.get(), memory_.get(), size_ * sizeof(float));
    memory_ = std::move(memory);
    size_ = grown;
  }

 private:
  ZeroedMemory memory_;
  std::size_t size_ = 0;
};

}  // namespace kestrel
