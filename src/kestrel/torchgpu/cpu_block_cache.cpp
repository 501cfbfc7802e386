#include "kestrel/torchgpu/cpu_block_cache.h"

#include <c10/core/Allocator.h>
#include <c10/core/CPUAllocator.h>

#include <bit>
#include <cstddef>
#include <map>
#include <mutex>
#include <vector>

namespace kestrel {
namespace {

// Smaller blocks stay with the C allocator, which reuses them without faults
// and while they are still in cache.
constexpr std::size_t kSmallestCachedBytes = std::size_t{1} << 20;
// Free bytes kept at most; a block freed beyond that is released.
constexpr std::size_t kMostCachedBytes = std::size_t{1} << 30;

// Sizes rounded up to an eighth of their power of two, so that tensors of
// nearly the same size share blocks at most 12.5% too large.
std::size_t sizeClass(std::size_t bytes) {
  const std::size_t step = std::bit_floor(bytes) / 8;
  return (bytes + step - 1) / step * step;
}

class BlockCache final : public at::Allocator {
 public:
  // Leaked on purpose: tensors allocated through it may be freed during the
  // process's exit, after static objects are gone.
  static BlockCache& instance() {
    static BlockCache* cache = new BlockCache;
    return *cache;
  }

  void open() {
    std::lock_guard lock(mutex_);
    if (scopes_++ > 0) return;
    underlying_ = c10::GetCPUAllocator();
    c10::SetCPUAllocator(this);
    installed_ = c10::GetCPUAllocator() == this;
  }

  void close() {
    std::vector<Block*> released;
    {
      std::lock_guard lock(mutex_);
      if (--scopes_ > 0) return;
      if (installed_ && c10::GetCPUAllocator() == this) c10::SetCPUAllocator(underlying_);
      installed_ = false;
      for (auto& [size, blocks] : free_) released.insert(released.end(), blocks.begin(), blocks.end());
      free_.clear();
      free_bytes_ = 0;
    }
    for (Block* block : released) delete block;  // outside the lock: the underlying allocator may be slow
  }

  at::DataPtr allocate(std::size_t bytes) override {
    at::Allocator* underlying = nullptr;
    Block* block = nullptr;
    const std::size_t size = bytes < kSmallestCachedBytes ? 0 : sizeClass(bytes);
    {
      std::lock_guard lock(mutex_);
      underlying = underlying_;
      if (size > 0) block = takeFree(size);
    }
    if (size == 0) return underlying->allocate(bytes);
    if (block == nullptr) block = new Block{underlying->allocate(size), size};
    return {block->memory.get(), block, &release, at::Device(at::kCPU)};
  }

  void copy_data(void* dest, const void* src, std::size_t count) const override { default_copy_data(dest, src, count); }

 private:
  struct Block {
    at::DataPtr memory;  // from the allocator the cache stands in for
    std::size_t size;
  };

  static void release(void* context) { instance().put(static_cast<Block*>(context)); }

  // The smallest free block of the size class or larger, up to twice its
  // size: the sizes of an iteration's tensors drift with its child count.
  Block* takeFree(std::size_t size) {
    auto found = free_.lower_bound(size);
    if (found == free_.end() || found->first > 2 * size) return nullptr;
    Block* block = found->second.back();
    found->second.pop_back();
    if (found->second.empty()) free_.erase(found);
    free_bytes_ -= block->size;
    return block;
  }

  void put(Block* block) {
    {
      std::lock_guard lock(mutex_);
      if (installed_ && free_bytes_ + block->size <= kMostCachedBytes) {
        free_[block->size].push_back(block);
        free_bytes_ += block->size;
        return;
      }
    }
    delete block;
  }

  std::mutex mutex_;
  int scopes_ = 0;
  bool installed_ = false;
  at::Allocator* underlying_ = nullptr;
  std::map<std::size_t, std::vector<Block*>> free_;  // by size class
  std::size_t free_bytes_ = 0;
};

}  // namespace

CpuBlockCacheScope::CpuBlockCacheScope() { BlockCache::instance().open(); }
CpuBlockCacheScope::~CpuBlockCacheScope() { BlockCache::instance().close(); }

}  // namespace kestrel
