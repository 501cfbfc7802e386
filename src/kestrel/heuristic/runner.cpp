#include "kestrel/heuristic/runner.h"

#include <ATen/core/Tensor.h>
#include <ATen/detail/CUDAHooksInterface.h>
#include <ATen/detail/HPUHooksInterface.h>
#include <ATen/detail/MPSHooksInterface.h>
#include <ATen/detail/MTIAHooksInterface.h>
#include <ATen/detail/XLAHooksInterface.h>
#include <ATen/detail/XPUHooksInterface.h>
#include <ATen/ops/from_blob.h>
#include <torch/csrc/inductor/aoti_package/model_package_loader.h>
#include <torch/cuda.h>

#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace kestrel {
namespace {

std::string_view trim(std::string_view text) {
  constexpr std::string_view blanks = " \t\n\r";
  const auto first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) {
    return {};
  }
  const auto last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

std::string probeBackend() {
  if (at::detail::getCUDAHooks().hasCUDA()) return "cuda";
  if (at::detail::getXPUHooks().hasXPU()) return "xpu";
  if (at::detail::getHPUHooks().hasHPU()) return "hpu";
  if (at::detail::getMTIAHooks().hasMTIA()) return "mtia";
  if (at::detail::getXLAHooks().hasXLA()) return "xla";
  if (at::detail::getMPSHooks().hasMPS()) return "mps";
  return "cpu";
}

c10::Device present(bool available, c10::DeviceType type, c10::DeviceIndex index, const char* absent) {
  if (!available) {
    throw std::runtime_error(absent);
  }
  return {type, index};
}

// Shape of one input for this batch, or the errors of a shape that cannot be
// laid over the caller's buffer of numel_per_example * batch floats.
std::vector<std::int64_t> resolveShape(const AOTIInputSpec& spec, std::size_t batch, std::uint64_t buffer_elements) {
  const auto rows = static_cast<std::int64_t>(batch);
  std::vector<std::int64_t> shape = spec.shape;
  if (shape.empty()) {
    shape.push_back(rows);
  } else if (shape.front() == -1) {
    shape.front() = rows;
  } else if (shape.front() != rows) {
    throw std::invalid_argument("First dimension of manifest shape does not match batch size");
  }

  // The tensor wraps the caller's buffer directly, so a shape that covers more
  // (or fewer) elements than the buffer holds must never reach the wrap. A
  // negative extent is left to LibTorch, which rejects it before touching data.
  std::uint64_t product = 1;
  bool overflow = false;
  for (const auto extent : shape) {
    if (extent < 0) {
      return shape;
    }
    overflow = overflow || __builtin_mul_overflow(product, static_cast<std::uint64_t>(extent), &product);
  }
  if (overflow || product != buffer_elements) {
    throw std::invalid_argument("Manifest shape of input '" + spec.name +
                                "' does not hold numel_per_example elements per example");
  }
  return shape;
}

}  // namespace

AOTIHeuristicRunner::AOTIHeuristicRunner(AOTIManifest manifest, std::string device)
    : device_(parseDevice(device)), manifest_(std::move(manifest)), loader_(leasePackage(manifest_.package_path)) {
  // Checked after loading on purpose: a bad package path is reported first.
  if (manifest_.inputs.empty()) {
    throw std::invalid_argument("Manifest must describe at least one input tensor");
  }
  if (manifest_.output_elements_per_example != 1) {
    throw std::invalid_argument("Only single-scalar output heads are supported for heuristics");
  }
}

AOTIHeuristicRunner::~AOTIHeuristicRunner() = default;

c10::Device AOTIHeuristicRunner::parseDevice(const std::string& spec) {
  const std::string_view text = trim(spec);
  const auto colon = text.find(':');
  const std::string_view type_part = colon == std::string_view::npos ? text : text.substr(0, colon);
  const std::string index_part(colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1));

  std::string kind(type_part);
  if (kind.empty() || kind == "auto") {
    kind = probeBackend();
  }
  if (kind == "cpu") {
    return {c10::DeviceType::CPU, -1};
  }

  // Parsed before the kind is matched, so an unknown kind with a bad index
  // reports the index. Only the low 8 bits become the device index.
  const int parsed = index_part.empty() ? 0 : std::stoi(index_part);
  const auto index = static_cast<c10::DeviceIndex>(static_cast<std::uint8_t>(parsed & 0xFF));

  if (kind == "cuda") {
    return present(at::detail::getCUDAHooks().hasCUDA(), c10::DeviceType::CUDA, index,
                   "CUDA device requested but CUDA is unavailable in this build");
  }
  if (kind == "xpu") {
    return present(at::detail::getXPUHooks().hasXPU(), c10::DeviceType::XPU, index,
                   "XPU device requested but XPU support is unavailable in this build");
  }
  if (kind == "mps") {
    return present(at::detail::getMPSHooks().hasMPS(), c10::DeviceType::MPS, -1,
                   "MPS device requested but MPS support is unavailable in this build");
  }
  if (kind == "xla") {
    return present(at::detail::getXLAHooks().hasXLA(), c10::DeviceType::XLA, index,
                   "XLA device requested but XLA support is unavailable in this build");
  }
  if (kind == "mtia") {
    return present(at::detail::getMTIAHooks().hasMTIA(), c10::DeviceType::MTIA, index,
                   "MTIA device requested but MTIA support is unavailable in this build");
  }
  if (kind == "hpu") {
    return present(at::detail::getHPUHooks().hasHPU(), c10::DeviceType::HPU, index,
                   "HPU device requested but HPU support is unavailable in this build");
  }
  if (kind == "privateuseone") {
    return {c10::DeviceType::PrivateUse1, index};
  }
  throw std::invalid_argument("Unsupported device spec: " + spec);
}

std::vector<float> AOTIHeuristicRunner::infer(const std::vector<std::vector<float>>& inputs, std::size_t batch) {
  const std::vector<std::span<const float>> views(inputs.begin(), inputs.end());
  return infer(views, batch);
}

std::vector<float> AOTIHeuristicRunner::infer(std::span<const std::span<const float>> inputs, std::size_t batch) {
  if (batch == 0) {
    return {};
  }
  if (inputs.size() != manifest_.inputs.size()) {
    throw std::invalid_argument("Mismatch between provided inputs and manifest");
  }

  std::vector<at::Tensor> tensors;
  tensors.reserve(inputs.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const AOTIInputSpec& spec = manifest_.inputs[i];
    const std::span<const float> buffer = inputs[i];
    if (spec.dtype != "float32") {
      throw std::invalid_argument("Only float32 inputs are supported presently");
    }
    std::uint64_t expected = 0;
    if (__builtin_mul_overflow(spec.numel_per_example, static_cast<std::uint64_t>(batch), &expected) ||
        buffer.size() != expected) {
      throw std::invalid_argument("Input buffer size does not match manifest numel");
    }
    const std::vector<std::int64_t> shape = resolveShape(spec, batch, expected);

    // The tensor borrows the caller's buffer without copying it (a batch of
    // 10,000 one-hot rows is 40 MB): it lives only for this call, and the
    // outputs are copied out below before the buffer can change, even when
    // the network returns a view of its input.
    at::Tensor tensor = at::for_blob(const_cast<float*>(buffer.data()), shape)
                            .options(at::TensorOptions().dtype(at::kFloat).device(at::kCPU))
                            .make_tensor();
    if (!device_.is_cpu()) {
      tensor = tensor.to(device_);
    }
    tensors.push_back(std::move(tensor));
  }

  const std::vector<at::Tensor> outputs = loader_.loader().run(tensors, nullptr);
  if (outputs.empty()) {
    throw std::runtime_error("AOTI package returned no outputs for the provided inputs");
  }

  const auto rows = static_cast<std::int64_t>(batch);
  at::Tensor output = outputs.front().to(at::kCPU, at::kFloat).contiguous();
  if (output.dim() == 1) {
    if (output.size(0) != rows) {
      throw std::runtime_error("Output batch dimension mismatch");
    }
  } else {
    if (output.size(0) != rows) {  // a zero-dimensional output fails here in LibTorch
      throw std::runtime_error("Output batch dimension mismatch");
    }
    if (output.numel() == 0) {
      throw std::runtime_error("Heuristic head produced empty output vectors");
    }
    output = output.reshape({rows, -1}).slice(1, 0, 1).contiguous().view({rows});
  }

  const float* values = output.data_ptr<float>();
  return std::vector<float>(values, values + batch);
}

void AOTIHeuristicRunner::synchronize() const {
  if (device_.is_cuda()) {
    torch::cuda::synchronize(device_.index());
  }
}

}  // namespace kestrel
