#pragma once

// The CPU batched parallel weighted A*, written once and instantiated for each
// of the 32 CostDtypes combinations (search_instances_*.cpp).

#include <memory>

#include "kestrel/env/environment.h"
#include "kestrel/heuristic/manifest.h"
#include "kestrel/pwas/cost_dtypes.h"
#include "kestrel/pwas/settings.h"
#include "kestrel/solve/solve_result.h"

namespace kestrel {

inline constexpr const char* kZeroInputFootprintMessage = "Manifest reported zero-sized network input footprint";
inline constexpr const char* kInputSizeMismatchMessage =
    "Environment/network input size mismatch with manifest metadata";
inline constexpr const char* kNullSuccessorMessage = "Environment expand() returned a null successor";
inline constexpr const char* kSuccessorInputSizeMessage =
    "Environment input_size() of a successor differs from the manifest's network input size";

template <typename Costs>
SolveResult runTypedSearch(std::unique_ptr<Environment> start, const AOTIManifest& manifest,
                           const SolverSettings& settings);

}  // namespace kestrel
