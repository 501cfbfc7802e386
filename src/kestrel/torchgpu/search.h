#pragma once

// The batched best-first search of the tensor solver. Each iteration pops the
// cheapest batch from OPEN, expands it in one environment call, filters the
// children through CLOSED, evaluates the survivors in chunks of at most
// nnet_batch rows, stores them as nodes and pushes them onto OPEN, all as
// tensor operations on the solve's device; the host reads only the scalars
// that steer the loop.

#include <ATen/core/Tensor.h>
#include <c10/core/Device.h>

#include <cstddef>
#include <string>

#include "kestrel/env/torch_env.h"
#include "kestrel/heuristic/manifest.h"
#include "kestrel/profiling/profiler.h"
#include "kestrel/solve/search_options.h"
#include "kestrel/solve/solve_result.h"
#include "kestrel/torchgpu/closed_table.h"
#include "kestrel/torchgpu/config.h"
#include "kestrel/torchgpu/node_store.h"

namespace torch::inductor {
class AOTIModelPackageLoader;
}

namespace kestrel {

inline constexpr const char* kHeuristicRowsMessage = "The heuristic network must return one value per state";

// What the entry built for one search.
struct TorchSearchSetup {
  TorchEnv& environment;
  std::string environment_name;  // as the caller wrote it, for messages
  torch::inductor::AOTIModelPackageLoader& loader;
  const AOTIManifest& manifest;
  const TorchAStarConfig& config;
  SearchOptions options;
  TorchStorageTypes types;
  TorchDerivedSizes sizes;
  c10::Device device;
  TorchNodeStore& store;
  TorchClosedTable& closed;
  Profiler& profiler;
  TimePoint start_time;  // the solve's start; solve_time runs from here
};

// Runs the root evaluation and the loop from the encoded start row (1, W) and
// returns the result, moves included.
SolveResult runTorchSearch(const TorchSearchSetup& setup, const at::Tensor& start_row);

}  // namespace kestrel
