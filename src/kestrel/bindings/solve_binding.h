#pragma once

// Pieces shared by the solve functions of the module.

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kestrel/solve/profiling_options.h"
#include "kestrel/solve/solve_result.h"

namespace kestrel {

// A writable, one-dimensional, C-contiguous CPU array of bytes; anything else
// is a conversion failure (TypeError), never a silent copy.
using StateArray = nanobind::ndarray<std::uint8_t, nanobind::ndim<1>, nanobind::c_contig, nanobind::device::cpu>;

// The binding's own checks, in order: batch_size first, then the state.
// Returns a copy of the state's bytes.
std::vector<std::uint8_t> checkedStateBytes(const StateArray& state, std::int32_t batch_size);

ProfilingOptions profilingOptions(const std::string& profile_dir, bool profile_trace, bool profile_summary,
                                  const std::string& profile_run_id, const char* default_run_id);

// The result dictionary: moves, nodes_generated, solve_time, solved,
// search_budget_exceeded and, when collected, operation_timings.
nanobind::dict resultDict(const SolveResult& result);

void defineRunWeightedAStar(nanobind::module_& module);
void defineRunTorchGpuAStar(nanobind::module_& module);
// kestrel_cpp._testing only: the tensor search on any device, looking CLOSED
// up as its device does best or as an accelerator does.
void defineRunTorchAStarOnDevice(nanobind::module_& module);

}  // namespace kestrel
