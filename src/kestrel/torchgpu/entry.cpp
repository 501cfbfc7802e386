#include "kestrel/torchgpu/entry.h"

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>
#include <torch/cuda.h>

#include <limits>
#include <optional>
#include <stdexcept>

#include "kestrel/env/registrar.h"
#include "kestrel/heuristic/manifest.h"
#include "kestrel/heuristic/package_lease.h"
#include "kestrel/profiling/profiler.h"
#include "kestrel/torchgpu/closed_table.h"
#include "kestrel/torchgpu/cpu_block_cache.h"
#include "kestrel/torchgpu/search.h"

namespace kestrel {
namespace {

enum class DeviceCheck { RequireCuda, AnyDevice };

// `lookup_work`: how CLOSED looks keys up, by default as its device does best.
SolveResult solve(const std::vector<std::uint8_t>& state, const std::string& env, const std::string& package_path,
                  const TorchAStarConfig& config, DeviceCheck device_check,
                  std::optional<LookupWork> lookup_work = std::nullopt) {
  // No autograd bookkeeping for any tensor of the solve.
  c10::InferenceMode inference_mode;

  requireNoNulBytes(env, package_path, config);

  const SearchOptions options = validateSearchOptions(config);

  if (device_check == DeviceCheck::RequireCuda && !torch::cuda::is_available()) {
    throw std::runtime_error(kCudaUnavailableMessage);
  }
  const c10::Device device(config.device);
  if (device_check == DeviceCheck::RequireCuda && !device.is_cuda()) {
    throw std::runtime_error(kCudaDeviceRequiredMessage);
  }

  // Before the first tensor of the search, so that all of them pass through it.
  std::optional<CpuBlockCacheScope> cpu_block_cache;
  if (device.is_cpu()) cpu_block_cache.emplace();

  const AOTIManifest manifest = loadAOTIManifest(package_path);
  const PackageLease package = leasePackage(manifest.package_path);

  if (config.initial_open_size < 0 || config.initial_closed_size < 0 || config.initial_node_store_size < 0) {
    throw std::invalid_argument(kNegativeTorchSizesMessage);
  }
  const TorchStorageTypes types = storageTypesOf(config);
  requireNumericCostTypes(types);

  if (state.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw std::invalid_argument("State payload is too long for a tensor environment");
  }
  std::unique_ptr<TorchEnv> environment = make_torch_environment(env, device, static_cast<std::int32_t>(state.size()));
  if (environment == nullptr) {
    throw std::runtime_error("The tensor environment factory registered for '" + env + "' returned no environment");
  }
  // A node-state type narrower than the plugin's own encoding would lose
  // information inside encodeState, where the search cannot see it: compare
  // with an encoding in the plugin's type first (only when the two differ).
  std::optional<at::Tensor> own_encoding;
  if (environment->state_dtype != types.node_state) own_encoding = environment->encodeState(state);
  environment->state_dtype = types.node_state;

  if (environment->num_moves - 1 > largestExactIndex(types.parent_move)) {
    throw std::invalid_argument("memory_dtype_parent_move '" + config.memory_dtype_parent_move +
                                "' cannot hold the move numbers -1 to " + std::to_string(environment->num_moves - 1) +
                                " of this environment");
  }
  const TorchDerivedSizes sizes = deriveTorchSizes(config, environment->num_moves);
  const at::Tensor start_row = environment->encodeState(state).view({1, -1});
  if (own_encoding &&
      !start_row.to(own_encoding->scalar_type()).equal(own_encoding->view({1, -1}).to(start_row.device()))) {
    throw std::invalid_argument("memory_dtype_node_state '" + config.memory_dtype_node_state +
                                "' cannot hold the encoded states of environment '" + env + "'");
  }

  const bool fixed = options.capacity == CapacityMode::Fixed;
  TorchNodeStore store(environment->state_width, device,
                       NodeColumnTypes{types.node_state, types.path_cost, types.heuristic, types.total_cost,
                                       types.parent_index, types.parent_move},
                       sizes.node_store_capacity, fixed);
  TorchClosedTable closed(environment->state_width, device, types.closed_key, types.closed_cost, sizes.closed_capacity,
                          options.probing, fixed, lookup_work);

  const TimePoint start_time = now();
  ProfilingOptions profiling = config.profiling;
  if (profiling.run_id.empty()) profiling.run_id = "cpp_torch_gpu_astar";
  Profiler profiler(profiling);

  const TorchSearchSetup setup{*environment, env,   package.loader(), manifest, config,    options, types, sizes,
                               device,       store, closed,           profiler, start_time};
  return runTorchSearch(setup, start_row);
}

}  // namespace

SolveResult run_torch_gpu_astar(const std::vector<std::uint8_t>& state, const std::string& env,
                                const std::string& package_path, const TorchAStarConfig& config) {
  return solve(state, env, package_path, config, DeviceCheck::RequireCuda);
}

SolveResult runTorchAStarOnDevice(const std::vector<std::uint8_t>& state, const std::string& env,
                                  const std::string& package_path, const TorchAStarConfig& config) {
  return solve(state, env, package_path, config, DeviceCheck::AnyDevice);
}

SolveResult runTorchAStarAsAccelerator(const std::vector<std::uint8_t>& state, const std::string& env,
                                       const std::string& package_path, const TorchAStarConfig& config) {
  return solve(state, env, package_path, config, DeviceCheck::AnyDevice, LookupWork::TensorBlocks);
}

}  // namespace kestrel
