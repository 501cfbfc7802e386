#include "kestrel/pwas/entry.h"

#include <cctype>
#include <stdexcept>
#include <string_view>

#include "kestrel/env/registrar.h"
#include "kestrel/pwas/search.h"
#include "kestrel/solve/console.h"

namespace kestrel {
namespace {

std::string lowerCased(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Whether the manifest's input sizes add up without wrapping around.
bool sumsExactly(const AOTIManifest& manifest) {
  std::uint64_t total = 0;
  for (const AOTIInputSpec& input : manifest.inputs) {
    if (__builtin_add_overflow(total, input.numel_per_example, &total)) return false;
  }
  return true;
}

// Picks float or double for each of the five cost types in turn, ending at
// one of the 32 instances of the search.
template <typename... Chosen>
SolveResult runInstance(const bool (&is_double)[5], std::unique_ptr<Environment> environment,
                        const AOTIManifest& manifest, const SolverSettings& settings) {
  if constexpr (sizeof...(Chosen) == 5) {
    return runTypedSearch<CostDtypes<Chosen...>>(std::move(environment), manifest, settings);
  } else {
    if (is_double[sizeof...(Chosen)]) {
      return runInstance<Chosen..., double>(is_double, std::move(environment), manifest, settings);
    }
    return runInstance<Chosen..., float>(is_double, std::move(environment), manifest, settings);
  }
}

}  // namespace

SolveResult run_parallel_weighted_astar(const std::vector<std::uint8_t>& state, const std::string& env,
                                        const std::string& package_path, const SolverSettings& settings) {
  requireNoNulBytes(env, package_path, settings);
  const std::string name = lowerCased(env);
  std::unique_ptr<Environment> environment = make_cpu_environment(name, state);
  if (environment == nullptr) {
    throw std::runtime_error("The environment factory registered for '" + name + "' returned no environment");
  }
  const AOTIManifest manifest = loadAOTIManifest(package_path);
  if (!manifest.env.empty() && lowerCased(manifest.env) != name) {
    pythonWarnf(kManifestEnvWarningFormat, manifest.env.c_str(), env.c_str());
  }
  const std::uint64_t environment_inputs = environment->input_size();
  try {
    return parallelWeightedAStar(std::move(environment), manifest, settings);
  } catch (const std::runtime_error& error) {
    // The search names no sizes (it knows no environment name): say both.
    if (std::string_view(error.what()) != kInputSizeMismatchMessage || !sumsExactly(manifest)) throw;
    throw std::runtime_error(inputSizeMismatchMessage(env, environment_inputs, manifest, totalInputElements(manifest)));
  }
}

SolveResult run_parallel_weighted_astar(std::span<const std::uint8_t> state, const std::string& env,
                                        const std::string& package_path, const SolverSettings& settings) {
  return run_parallel_weighted_astar(std::vector<std::uint8_t>(state.begin(), state.end()), env, package_path,
                                     settings);
}

SolveResult parallelWeightedAStar(std::unique_ptr<Environment> environment, const AOTIManifest& manifest,
                                  const SolverSettings& settings) {
  validateMemoryDtypes(settings);
  if (environment == nullptr) throw std::runtime_error("parallelWeightedAStar received no start environment");
  const bool is_double[5] = {settings.memory_dtype_path_cost == "float64", settings.memory_dtype_heuristic == "float64",
                             settings.memory_dtype_total_cost == "float64",
                             settings.memory_dtype_open_cost == "float64",
                             settings.memory_dtype_closed_cost == "float64"};
  return runInstance<>(is_double, std::move(environment), manifest, settings);
}

}  // namespace kestrel
