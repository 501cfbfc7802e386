#pragma once

// While a search on CPU tensors runs, large CPU tensor blocks that are freed
// are kept for the next allocation of their size class instead of going back
// to the C allocator. An iteration allocates and frees tensors of about the
// same sizes as the one before it, and the C allocator returned large blocks
// to the kernel and got them back as fresh pages: the page faults took a
// third of a search's time at batch 10000.
//
// The cache is the process's CPU allocator for as long as a scope is open
// (scopes nest, across threads), so every thread's CPU tensors pass through
// it meanwhile. Blocks outliving the scopes are freed as usual. A CPU
// allocator installed with a higher priority is left alone, uncached.

namespace kestrel {

class CpuBlockCacheScope {
 public:
  CpuBlockCacheScope();
  ~CpuBlockCacheScope();
  CpuBlockCacheScope(const CpuBlockCacheScope&) = delete;
  CpuBlockCacheScope& operator=(const CpuBlockCacheScope&) = delete;
};

}  // namespace kestrel
