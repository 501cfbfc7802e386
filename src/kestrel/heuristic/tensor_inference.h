#pragma once

// Batch evaluation for the tensor solver, whose inputs already live on the
// device as tensors.

#include <ATen/core/Tensor.h>

#include <vector>

#include "kestrel/export.h"

namespace torch::inductor {
class AOTIModelPackageLoader;
}

namespace kestrel {

// Runs the package on float32 inputs and returns one float32 heuristic per row
// (column 0 of the first output), clamped below at 0, on the output's device.
KESTREL_EXPORT at::Tensor inferHeuristicTensors(torch::inductor::AOTIModelPackageLoader& loader,
                                                const std::vector<at::Tensor>& inputs);

}  // namespace kestrel
