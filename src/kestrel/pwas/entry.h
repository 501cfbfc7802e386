#pragma once

// Entry points of a CPU solve. Run without the interpreter lock.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kestrel/env/environment.h"
#include "kestrel/export.h"
#include "kestrel/heuristic/manifest.h"
#include "kestrel/pwas/settings.h"
#include "kestrel/solve/solve_result.h"

namespace kestrel {

inline constexpr const char* kManifestEnvWarningFormat = "[WARN] AOTI manifest env '%s' differs from requested '%s'\n";

// Creates the start environment from the registry (name lower-cased), loads
// the manifest beside the package, warns on standard error when the manifest
// was made for another environment, and runs the search.
KESTREL_EXPORT SolveResult run_parallel_weighted_astar(const std::vector<std::uint8_t>& state, const std::string& env,
                                                       const std::string& package_path, const SolverSettings& settings);
KESTREL_EXPORT SolveResult run_parallel_weighted_astar(std::span<const std::uint8_t> state, const std::string& env,
                                                       const std::string& package_path, const SolverSettings& settings);

// Validates the storage types and runs the instance of the search that matches
// the five cost types.
KESTREL_EXPORT SolveResult parallelWeightedAStar(std::unique_ptr<Environment> environment, const AOTIManifest& manifest,
                                                 const SolverSettings& settings);

}  // namespace kestrel
