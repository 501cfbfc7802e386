#pragma once

// Entry of a tensor solve: validates the config, loads the heuristic package,
// creates the tensor environment, derives the sizes, builds CLOSED and the
// node store, and runs the search. Runs without the interpreter lock.

#include <cstdint>
#include <string>
#include <vector>

#include "kestrel/export.h"
#include "kestrel/solve/solve_result.h"
#include "kestrel/torchgpu/config.h"

namespace kestrel {

inline constexpr const char* kCudaUnavailableMessage =
    "CUDA is not available. Torch GPU A* requires a CUDA/ROCm device.";
inline constexpr const char* kCudaDeviceRequiredMessage = "Torch GPU A* requires a CUDA/ROCm device specification.";
inline constexpr const char* kNegativeTorchSizesMessage =
    "initial OPEN, CLOSED, and node-store sizes must be non-negative";

// The solve on a CUDA (or ROCm) device: refuses any other device.
KESTREL_EXPORT SolveResult run_torch_gpu_astar(const std::vector<std::uint8_t>& state, const std::string& env,
                                               const std::string& package_path, const TorchAStarConfig& config);

// The same search on whatever device config.device names (CPU tensors
// included), without the two CUDA checks. For tests and benchmarks.
KESTREL_EXPORT SolveResult runTorchAStarOnDevice(const std::vector<std::uint8_t>& state, const std::string& env,
                                                 const std::string& package_path, const TorchAStarConfig& config);

// runTorchAStarOnDevice() looking CLOSED up in the blocks of tensor
// operations an accelerator uses, whatever the device: on CPU tensors the
// search then runs every operation a GPU's would, where they can be counted
// and tested. For tests and benchmarks.
KESTREL_EXPORT SolveResult runTorchAStarAsAccelerator(const std::vector<std::uint8_t>& state, const std::string& env,
                                                      const std::string& package_path, const TorchAStarConfig& config);

}  // namespace kestrel
