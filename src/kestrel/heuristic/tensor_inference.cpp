#include "kestrel/heuristic/tensor_inference.h"

#include <torch/csrc/inductor/aoti_package/model_package_loader.h>

#include <stdexcept>

namespace kestrel {

at::Tensor inferHeuristicTensors(torch::inductor::AOTIModelPackageLoader& loader,
                                 const std::vector<at::Tensor>& inputs) {
  std::vector<at::Tensor> prepared;
  prepared.reserve(inputs.size());
  for (const at::Tensor& input : inputs) {
    if (input.scalar_type() != at::kFloat) {
      throw std::invalid_argument("AOTI heuristics expects float32 input tensors.");
    }
    prepared.push_back(input.is_contiguous() ? input : input.contiguous());
  }

  const std::vector<at::Tensor> outputs = loader.run(prepared, nullptr);
  if (outputs.empty()) {
    throw std::runtime_error("AOTI package returned no outputs for heuristic inference.");
  }

  at::Tensor heuristics = outputs.front();
  if (heuristics.dim() == 0) {
    throw std::runtime_error("AOTI package returned a scalar output. Expected batched heuristics.");
  }
  if (heuristics.dim() >= 2) {
    heuristics = heuristics.reshape({heuristics.size(0), -1}).select(1, 0);
  }
  // The row count is the caller's to check: it knows how many states it sent.
  return heuristics.to(at::kFloat).clamp_min(0.0);
}

}  // namespace kestrel
