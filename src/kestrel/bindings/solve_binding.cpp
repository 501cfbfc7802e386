// The solve functions of the Python module, both solvers through one path:
// one parameter list, one conversion into the settings record, one docstring
// table. The defaults of the parameters are the defaults of each solver's
// settings record.

#include "kestrel/bindings/solve_binding.h"

#include <nanobind/stl/string.h>

#include <array>
#include <stdexcept>
#include <string>
#include <tuple>

#include "kestrel/bindings/interpreter_exit.h"
#include "kestrel/bindings/python_int.h"
#include "kestrel/pwas/entry.h"
#include "kestrel/torchgpu/entry.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace kestrel {

std::vector<std::uint8_t> checkedStateBytes(const StateArray& state, std::int32_t batch_size) {
  if (batch_size < 1) throw std::invalid_argument("batch_size must be positive");
  const std::size_t length = state.shape(0);
  if (length == 0) throw std::invalid_argument("State payload must contain at least one entry");
  const std::uint8_t* data = state.data();  // data pointer with the byte offset applied
  return std::vector<std::uint8_t>(data, data + length);
}

ProfilingOptions profilingOptions(const std::string& profile_dir, bool profile_trace, bool profile_summary,
                                  const std::string& profile_run_id, const char* default_run_id) {
  ProfilingOptions options;
  options.enabled = profile_trace || profile_summary;
  options.directory = profile_dir;
  options.run_id = profile_run_id.empty() ? default_run_id : profile_run_id;
  options.trace = profile_trace;
  options.summary = profile_summary;
  return options;
}

nb::dict resultDict(const SolveResult& result) {
  nb::list moves;
  for (const std::int32_t move : result.moves) moves.append(move);
  nb::dict dict;
  dict["moves"] = moves;
  dict["nodes_generated"] = result.nodes_generated;
  dict["solve_time"] = result.solve_time;
  dict["solved"] = result.solved;
  dict["search_budget_exceeded"] = result.search_budget_exceeded;
  if (result.has_operation_timings) {
    nb::dict timings;
    for (std::size_t i = 0; i < kOperationCount; ++i) {
      const OperationTiming& timing = result.operation_timings[i];
      nb::dict entry;
      entry["total_seconds"] = timing.total_seconds;
      entry["core_seconds"] = timing.core_seconds;
      entry["misc_seconds"] = timing.misc_seconds;
      entry["call_count"] = timing.call_count;
      timings[kOperationNames[i]] = entry;
    }
    dict["operation_timings"] = timings;
  }
  return dict;
}

namespace {

using Entry = SolveResult (*)(const std::vector<std::uint8_t>&, const std::string&, const std::string&,
                              const TorchAStarConfig&);

// What sets the solve functions apart. The parameter list, conversions and
// call sequence are shared.
struct CpuSolver {
  using Settings = SolverSettings;
  static constexpr const char* kName = "run_weighted_astar";
  static constexpr const char* kDefaultRunId = "cpp_pwas";
  static constexpr const char* kDefaultDevice = nullptr;  // required
  static std::tuple<> extraArgs() { return {}; }
  static SolveResult run(const std::vector<std::uint8_t>& state, const std::string& env,
                         const std::string& package_path, const Settings& settings) {
    return run_parallel_weighted_astar(state, env, package_path, settings);
  }
};

template <Entry entry>
struct TensorSolver {
  using Settings = TorchAStarConfig;
  static constexpr const char* kDefaultRunId = "cpp_torch_gpu";
  static std::tuple<nb::arg_v> extraArgs() {
    return {"nnet_batch_size"_a = PythonInt<std::int32_t>{Settings{}.nnet_batch_size}};
  }
  static SolveResult run(const std::vector<std::uint8_t>& state, const std::string& env,
                         const std::string& package_path, const Settings& settings) {
    return entry(state, env, package_path, settings);
  }
};

struct GpuTensorSolver : TensorSolver<&run_torch_gpu_astar> {
  static constexpr const char* kName = "run_torch_gpu_astar";
  static constexpr const char* kDefaultDevice = "cuda:0";
};

// The same search on any device; kestrel_cpp._testing only.
struct AnyDeviceTensorSolver : TensorSolver<&runTorchAStarOnDevice> {
  static constexpr const char* kName = "run_torch_astar_on_device";
  static constexpr const char* kDefaultDevice = "cpu";
};

// The same, looking CLOSED up as an accelerator does; kestrel_cpp._testing only.
struct AcceleratorBlocksTensorSolver : TensorSolver<&runTorchAStarAsAccelerator> {
  static constexpr const char* kName = "run_torch_astar_as_accelerator";
  static constexpr const char* kDefaultDevice = "cpu";
};

// The conversions and the call sequence of every solve function. `Extra` is
// the tensor solver's nnet_batch_size, which sits between batch_size and
// device; the CPU solver has none.
template <typename Solver, typename... Extra>
nb::dict solve(const StateArray& state, const std::string& env, const std::string& package_path, float weight,
               PythonInt<std::int32_t> batch_size, Extra... extra, const std::string& device, bool print_internals,
               const std::string& solution_move_source, const std::string& duplicate_update_mode,
               const std::string& hashtable_algorithm, const std::string& goal_stop_mode,
               PythonInt<std::int64_t> search_budget, float hash_capacity_factor, const std::string& capacity_mode,
               PythonInt<std::int64_t> initial_open_size, PythonInt<std::int64_t> initial_closed_size,
               PythonInt<std::int64_t> initial_node_store_size, const std::string& profile_dir, bool profile_trace,
               bool profile_summary, const std::string& profile_run_id, bool operation_breakdown, bool cuda_sync_timing,
               const std::string& memory_dtype_node_state, const std::string& memory_dtype_open_index,
               const std::string& memory_dtype_open_cost, const std::string& memory_dtype_closed_key,
               const std::string& memory_dtype_closed_cost, const std::string& memory_dtype_parent_index,
               const std::string& memory_dtype_parent_move, const std::string& memory_dtype_path_cost,
               const std::string& memory_dtype_heuristic, const std::string& memory_dtype_total_cost) {
  const std::vector<std::uint8_t> state_bytes = checkedStateBytes(state, batch_size.value);

  typename Solver::Settings settings;
  settings.weight = weight;
  settings.batch_size = batch_size.value;
  if constexpr (sizeof...(Extra) == 1) settings.nnet_batch_size = (extra.value, ...);
  settings.device = device;
  settings.print_internals = print_internals;
  settings.solution_move_source = solution_move_source;
  settings.duplicate_update_mode = duplicate_update_mode;
  settings.hashtable_algorithm = hashtable_algorithm;
  settings.goal_stop_mode = goal_stop_mode;
  settings.search_budget = search_budget.value;
  settings.hash_capacity_factor = hash_capacity_factor;
  settings.capacity_mode = capacity_mode;
  settings.initial_open_size = initial_open_size.value;
  settings.initial_closed_size = initial_closed_size.value;
  settings.initial_node_store_size = initial_node_store_size.value;
  settings.operation_breakdown = operation_breakdown;
  settings.cuda_sync_timing = cuda_sync_timing;
  settings.profiling =
      profilingOptions(profile_dir, profile_trace, profile_summary, profile_run_id, Solver::kDefaultRunId);
  settings.memory_dtype_node_state = memory_dtype_node_state;
  settings.memory_dtype_open_index = memory_dtype_open_index;
  settings.memory_dtype_open_cost = memory_dtype_open_cost;
  settings.memory_dtype_closed_key = memory_dtype_closed_key;
  settings.memory_dtype_closed_cost = memory_dtype_closed_cost;
  settings.memory_dtype_parent_index = memory_dtype_parent_index;
  settings.memory_dtype_parent_move = memory_dtype_parent_move;
  settings.memory_dtype_path_cost = memory_dtype_path_cost;
  settings.memory_dtype_heuristic = memory_dtype_heuristic;
  settings.memory_dtype_total_cost = memory_dtype_total_cost;

  SolveResult result;
  {
    OutsideInterpreter outside;
    result = Solver::run(state_bytes, env, package_path, settings);
  }
  return resultDict(result);
}

// ---- Docstrings.

// A parameter's description; `tensor` replaces `cpu` in the tensor solver's
// docstring where set. The CPU solver has no nnet_batch_size.
struct ParameterDoc {
  const char* name;
  const char* cpu;
  const char* tensor;
};

constexpr std::array<ParameterDoc, 34> kParameterDocs = {{
    {"state", "Contiguous CPU uint8 tensor with shape `(state_dim,)`.", nullptr},
    {"env", "Logical environment name registered by an installed environment plugin.", nullptr},
    {"package_path", "Path to the AOTInductor package (e.g., model.pt2).",
     "Path to an AOTInductor package (.pt2) generated by the Kestrel exporter."},
    {"weight", "Weighted A* path-cost coefficient.", "Weighted A* heuristic weight."},
    {"batch_size", "Maximum C++ CPU expansion and inference work per step.",
     "Maximum nodes popped from OPEN per iteration."},
    {"nnet_batch_size", nullptr, "Maximum batch size for heuristic inference (0 = auto)."},
    {"device", "Torch device string for running the heuristic network.", "Torch device string (must be CUDA/ROCm)."},
    {"print_internals", "If True, emit per-iteration search internals.",
     "If True, emit per-iteration timing statistics."},
    {"solution_move_source", "Either \"infer\" or \"stored\" for final path move reconstruction.", nullptr},
    {"duplicate_update_mode", "Either \"in_place\" or \"new_slot\" for accepted lower-cost duplicates.", nullptr},
    {"hashtable_algorithm", "Either \"linear_probing\" or \"python_dict\" for CLOSED probing.", nullptr},
    {"goal_stop_mode", "Either \"stop_before_goal\" or \"expand_popped_batch\" for selected frontier handling.",
     nullptr},
    {"search_budget", "Generated-node cap, or 0 for no cap.", nullptr},
    {"hash_capacity_factor", "CLOSED capacity multiplier used with node-store sizing.", nullptr},
    {"capacity_mode", "Either \"adaptive\" or \"fixed\" for capacity growth.", nullptr},
    {"initial_open_size", "Initial OPEN capacity hint, or 0 to use the C++ default.",
     "Initial OPEN capacity hint, or 0 to derive from the workload."},
    {"initial_closed_size", "Initial CLOSED capacity hint, or 0 to use the C++ default.",
     "Initial CLOSED capacity hint, or 0 to derive from the workload."},
    {"initial_node_store_size", "Initial node-store capacity hint, or 0 to use the C++ default.",
     "Initial node-store capacity hint, or 0 to derive from the workload."},
    {"profile_dir", "Directory for C++ profiling artifacts.", nullptr},
    {"profile_trace", "Whether to emit a Chrome trace when profiling is enabled.", nullptr},
    {"profile_summary", "Whether to emit a C++ timing summary when profiling is enabled.", nullptr},
    {"profile_run_id", "Run identifier embedded in profiling artifact names.", nullptr},
    {"operation_breakdown", "Whether to collect per-operation timing totals.", nullptr},
    {"cuda_sync_timing", "Whether CUDA timing synchronizes measured regions.", nullptr},
    {"memory_dtype_node_state", "C++ node-state storage dtype name.", nullptr},
    {"memory_dtype_open_index", "C++ OPEN index storage dtype name.", nullptr},
    {"memory_dtype_open_cost", "C++ OPEN cost storage dtype name.", nullptr},
    {"memory_dtype_closed_key", "C++ CLOSED key storage dtype name.", nullptr},
    {"memory_dtype_closed_cost", "C++ CLOSED cost storage dtype name.", nullptr},
    {"memory_dtype_parent_index", "C++ parent-index storage dtype name.", nullptr},
    {"memory_dtype_parent_move", "C++ parent-move storage dtype name.", nullptr},
    {"memory_dtype_path_cost", "C++ path-cost storage dtype name.", nullptr},
    {"memory_dtype_heuristic", "C++ heuristic storage dtype name.", nullptr},
    {"memory_dtype_total_cost", "C++ total-cost storage dtype name.", nullptr},
}};

enum class DocColumn { Cpu, Tensor };

std::string solveDoc(const char* summary, DocColumn column, const char* runtime_error) {
  std::string doc = std::string(summary) + "\n\nArgs:\n";
  for (const ParameterDoc& parameter : kParameterDocs) {
    const char* text = column == DocColumn::Tensor && parameter.tensor != nullptr ? parameter.tensor : parameter.cpu;
    if (column == DocColumn::Cpu && parameter.cpu == nullptr) continue;
    doc += std::string("    ") + parameter.name + ": " + text + "\n";
  }
  doc +=
      "\nReturns:\n"
      "    Dict with keys `moves`, `nodes_generated`, `solve_time`, `solved`,\n"
      "    `search_budget_exceeded`, and optionally `operation_timings` when requested.\n"
      "\nRaises:\n"
      "    ValueError: If `state` is empty or `batch_size <= 0`.\n"
      "    RuntimeError: ";
  return doc + runtime_error + "\n";
}

// ---- Definition.

template <typename Solver>
auto deviceArg() {
  if constexpr (Solver::kDefaultDevice == nullptr) {
    return std::make_tuple("device"_a);
  } else {
    return std::make_tuple("device"_a = Solver::kDefaultDevice);
  }
}

// Defines the solve function of `Solver`; its parameter defaults are those of
// a default-constructed settings record.
template <typename Solver, typename... Extra>
void defineSolve(nb::module_& module, const char* doc) {
  const typename Solver::Settings d;
  auto args = std::tuple_cat(
      std::make_tuple("state"_a.noconvert(), "env"_a, "package_path"_a, "weight"_a, "batch_size"_a),
      Solver::extraArgs(), deviceArg<Solver>(),
      std::make_tuple(
          "print_internals"_a.noconvert() = d.print_internals, "solution_move_source"_a = d.solution_move_source,
          "duplicate_update_mode"_a = d.duplicate_update_mode, "hashtable_algorithm"_a = d.hashtable_algorithm,
          "goal_stop_mode"_a = d.goal_stop_mode, "search_budget"_a = PythonInt<std::int64_t>{d.search_budget},
          "hash_capacity_factor"_a = d.hash_capacity_factor, "capacity_mode"_a = d.capacity_mode,
          "initial_open_size"_a = PythonInt<std::int64_t>{d.initial_open_size},
          "initial_closed_size"_a = PythonInt<std::int64_t>{d.initial_closed_size},
          "initial_node_store_size"_a = PythonInt<std::int64_t>{d.initial_node_store_size}, "profile_dir"_a = "",
          "profile_trace"_a.noconvert() = false, "profile_summary"_a.noconvert() = false, "profile_run_id"_a = "",
          "operation_breakdown"_a.noconvert() = d.operation_breakdown,
          "cuda_sync_timing"_a.noconvert() = d.cuda_sync_timing,
          "memory_dtype_node_state"_a = d.memory_dtype_node_state,
          "memory_dtype_open_index"_a = d.memory_dtype_open_index,
          "memory_dtype_open_cost"_a = d.memory_dtype_open_cost,
          "memory_dtype_closed_key"_a = d.memory_dtype_closed_key,
          "memory_dtype_closed_cost"_a = d.memory_dtype_closed_cost,
          "memory_dtype_parent_index"_a = d.memory_dtype_parent_index,
          "memory_dtype_parent_move"_a = d.memory_dtype_parent_move,
          "memory_dtype_path_cost"_a = d.memory_dtype_path_cost, "memory_dtype_heuristic"_a = d.memory_dtype_heuristic,
          "memory_dtype_total_cost"_a = d.memory_dtype_total_cost));
  std::apply([&](auto&&... arg) { module.def(Solver::kName, &solve<Solver, Extra...>, arg..., doc); }, std::move(args));
}

}  // namespace

void defineRunWeightedAStar(nb::module_& module) {
  static const std::string doc = solveDoc("Solve a single puzzle state via weighted A* search.", DocColumn::Cpu,
                                          "If the C++ solver cannot initialize or complete.");
  defineSolve<CpuSolver>(module, doc.c_str());
}

void defineRunTorchGpuAStar(nb::module_& module) {
  static const std::string doc = solveDoc("Solve a single puzzle state using the LibTorch GPU-only A* searcher.",
                                          DocColumn::Tensor, "If the C++ GPU searcher cannot initialize or complete.");
  defineSolve<GpuTensorSolver, PythonInt<std::int32_t>>(module, doc.c_str());
}

void defineRunTorchAStarOnDevice(nb::module_& module) {
  defineSolve<AnyDeviceTensorSolver, PythonInt<std::int32_t>>(
      module,
      "The tensor search of run_torch_gpu_astar on any torch device (CPU tensors included), without its CUDA "
      "checks.\nFor tests and benchmarks only; same parameters, conversions and result.");
  defineSolve<AcceleratorBlocksTensorSolver, PythonInt<std::int32_t>>(
      module,
      "run_torch_astar_on_device looking CLOSED up in the blocks of tensor operations an accelerator uses, "
      "whatever the device: on CPU tensors the search runs every operation a GPU's would.\nFor tests and "
      "benchmarks only; same parameters, conversions and result.");
}

}  // namespace kestrel
