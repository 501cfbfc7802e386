#include "kestrel/torchgpu/cpu_block_cache.h"

#include <c10/core/Allocator.h>
#include <c10/core/CPUAllocator.h>

#include <atomic>
#include <bit>
#include <cstddef>
#include <map>
#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>
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

// A block's data pointer is also its context, as the allocator interface
// asks of memory handed out raw, and the cache finds the block by it.
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
    underlying_.store(c10::GetCPUAllocator());
    c10::SetCPUAllocator(this);
    installed_ = c10::GetCPUAllocator() == this;
  }

  void close() noexcept {
    std::vector<at::DataPtr> released;
    {
      std::lock_guard lock(mutex_);
      if (--scopes_ > 0) return;
      if (installed_ && c10::GetCPUAllocator() == this) c10::SetCPUAllocator(underlying_.load());
      installed_ = false;
      released = takeAllFree();
    }
  }  // the blocks go back outside the lock: the underlying allocator may be slow

  at::DataPtr allocate(std::size_t bytes) override {
    if (bytes < kSmallestCachedBytes) return underlying_.load()->allocate(bytes);
    const std::size_t size = sizeClass(bytes);
    std::lock_guard lock(mutex_);
    void* data = takeFree(size);
    if (data == nullptr) data = allocateNew(size);
    return {data, data, &release, at::Device(at::kCPU)};
  }

  at::DeleterFnPtr raw_deleter() const override { return &release; }

  void copy_data(void* dest, const void* src, std::size_t count) const override { default_copy_data(dest, src, count); }

 private:
  struct Block {
    at::DataPtr memory;  // from the allocator the cache stands in for
    std::size_t size = 0;
  };

  static void release(void* data) { instance().put(data); }

  // The smallest free block of the size class or larger, up to twice its
  // size: the sizes of an iteration's tensors drift with its child count.
  void* takeFree(std::size_t size) {
    auto found = free_.lower_bound(size);
    if (found == free_.end() || found->first > 2 * size) return nullptr;
    void* data = found->second.back();
    found->second.pop_back();
    if (found->second.empty()) free_.erase(found);
    free_bytes_ -= blocks_.at(data).size;
    return data;
  }

  // Memory the cache holds free is handed back once before an allocation
  // that the underlying allocator refuses is refused.
  void* allocateNew(std::size_t size) {
    at::DataPtr memory;
    try {
      memory = underlying_.load()->allocate(size);
    } catch (...) {
      const std::vector<at::DataPtr> released = takeAllFree();
      memory = underlying_.load()->allocate(size);
    }
    void* data = memory.get();
    // An entry left at this address belongs to a block that was handed out
    // raw and freed by another allocator after the cache's scopes closed: its
    // memory is no longer the cache's to free.
    if (auto stale = blocks_.find(data); stale != blocks_.end()) {
      (void)stale->second.memory.release_context();
      blocks_.erase(stale);
    }
    blocks_.emplace(data, Block{std::move(memory), size});
    return data;
  }

  // Keeps a freed block for reuse while the cache is installed; frees it
  // otherwise. Memory the cache did not hand out goes to the allocator it
  // stands in for (raw memory taken before a scope opened).
  void put(void* data) noexcept {
    at::DataPtr freed;
    at::DeleterFnPtr foreign = nullptr;
    {
      std::lock_guard lock(mutex_);
      auto found = blocks_.find(data);
      if (found == blocks_.end()) {
        at::Allocator* underlying = underlying_.load();
        foreign = underlying != nullptr ? underlying->raw_deleter() : nullptr;
      } else if (installed_ && free_bytes_ + found->second.size <= kMostCachedBytes &&
                 keepFree(data, found->second.size)) {
        return;
      } else {
        freed = std::move(found->second.memory);
        blocks_.erase(found);
      }
    }
    if (foreign != nullptr) foreign(data);
  }

  bool keepFree(void* data, std::size_t size) noexcept {
    try {
      free_[size].push_back(data);
    } catch (const std::bad_alloc&) {
      return false;
    }
    free_bytes_ += size;
    return true;
  }

  std::vector<at::DataPtr> takeAllFree() noexcept {
    std::vector<at::DataPtr> taken;
    for (auto& [size, datas] : free_) {
      for (void* data : datas) {
        auto found = blocks_.find(data);
        try {
          taken.push_back(std::move(found->second.memory));
        } catch (const std::bad_alloc&) {
          at::DataPtr dropped = std::move(found->second.memory);  // freed here instead
        }
        blocks_.erase(found);
      }
    }
    free_.clear();
    free_bytes_ = 0;
    return taken;
  }

  std::mutex mutex_;
  int scopes_ = 0;
  bool installed_ = false;
  // Read without the lock by the small allocations, which pass straight through.
  std::atomic<at::Allocator*> underlying_{nullptr};
  std::unordered_map<void*, Block> blocks_;         // every block the cache handed out, in use or free
  std::map<std::size_t, std::vector<void*>> free_;  // the free ones by size
  std::size_t free_bytes_ = 0;
};

}  // namespace

CpuBlockCacheScope::CpuBlockCacheScope() { BlockCache::instance().open(); }
CpuBlockCacheScope::~CpuBlockCacheScope() { BlockCache::instance().close(); }

}  // namespace kestrel
