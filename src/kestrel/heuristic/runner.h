#pragma once

// Evaluates a heuristic package on batches of host inputs. One runner per
// solve, used by one thread at a time; its loader is leased from the
// process's loaded packages for the runner's lifetime. The LibTorch loader
// stays behind this header so that solver code does not pay for its headers.

#include <c10/core/Device.h>

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "kestrel/export.h"
#include "kestrel/heuristic/manifest.h"
#include "kestrel/heuristic/package_lease.h"

namespace kestrel {

class KESTREL_EXPORT AOTIHeuristicRunner {
 public:
  // Parses the device, loads the package, then rejects a manifest without
  // inputs or with more than one output per example.
  AOTIHeuristicRunner(AOTIManifest manifest, std::string device);
  ~AOTIHeuristicRunner();
  AOTIHeuristicRunner(const AOTIHeuristicRunner&) = delete;
  AOTIHeuristicRunner& operator=(const AOTIHeuristicRunner&) = delete;

  // Device grammar of the CPU solver: "", "auto", "cpu", "cuda:1", ...
  static c10::Device parseDevice(const std::string& spec);

  // One host buffer per manifest input, each `batch` examples back to back.
  // Returns exactly `batch` values (empty for batch 0), unclamped.
  std::vector<float> infer(std::span<const std::span<const float>> inputs, std::size_t batch);
  std::vector<float> infer(const std::vector<std::vector<float>>& inputs, std::size_t batch);

  // Waits for queued work on a CUDA device; nothing on other devices.
  void synchronize() const;

  const c10::Device& device() const { return device_; }
  const AOTIManifest& manifest() const { return manifest_; }

 private:
  c10::Device device_;
  AOTIManifest manifest_;
  PackageLease loader_;
};

}  // namespace kestrel
