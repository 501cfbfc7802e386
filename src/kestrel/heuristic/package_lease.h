#pragma once

// Loaded heuristic packages, shared by every solve of the process.
//
// LibTorch's package loader cannot be constructed (or destroyed) on several
// threads at once: construction parses the package metadata into shared
// state. Nor does destroying a loader give back what loading mapped, so a
// process that loads a package per solve runs out of memory mappings after
// about ten thousand solves. Loaders are therefore built one at a time behind
// a process-wide lock and kept: a solve leases a loader of its package for as
// long as it runs and hands it back for the next solve. Concurrent solves of
// one package each get their own loader, so their network calls never queue.
// A package file that changes on disk (another inode, size or modification
// time) is loaded afresh.

#include <memory>
#include <string>

#include "kestrel/export.h"

namespace torch::inductor {
class AOTIModelPackageLoader;
}

namespace kestrel {

struct LoadedPackage;  // the loaders of one package file

class KESTREL_EXPORT PackageLease {
 public:
  PackageLease(PackageLease&& other) noexcept;
  PackageLease& operator=(PackageLease&& other) noexcept;
  PackageLease(const PackageLease&) = delete;
  PackageLease& operator=(const PackageLease&) = delete;
  ~PackageLease();  // hands the loader back for reuse

  torch::inductor::AOTIModelPackageLoader& loader() const { return *loader_; }

 private:
  friend PackageLease leasePackage(const std::string& package_path);
  PackageLease(std::shared_ptr<LoadedPackage> package, torch::inductor::AOTIModelPackageLoader* loader);

  std::shared_ptr<LoadedPackage> package_;
  torch::inductor::AOTIModelPackageLoader* loader_ = nullptr;
};

// An idle loader of the package at `package_path`, or a new one loaded with
// model name "model", not single-threaded, one runner and no device index.
// Loader failures propagate as LibTorch reports them; the extraction folder a
// failed load leaves behind is removed.
KESTREL_EXPORT PackageLease leasePackage(const std::string& package_path);

// Loaders built so far in this process, leased or idle (for tests and the
// leak benchmark).
KESTREL_EXPORT std::size_t loadedPackageCount();

}  // namespace kestrel
