#include "kestrel/solve/solve_settings.h"

#include "kestrel/solve/string_arguments.h"

namespace kestrel {

SearchOptions validateSearchOptions(const SolveSettings& s) {
  const SearchOptions options = parseSearchOptions(s.solution_move_source, s.duplicate_update_mode, s.goal_stop_mode,
                                                   s.hash_capacity_factor, s.capacity_mode, s.hashtable_algorithm);
  requireNonNegativeBudget(s.search_budget);
  requireFiniteWeight(s.weight);
  return options;
}

void requireNoNulBytes(const std::string& env, const std::string& package_path, const SolveSettings& settings) {
  requireNoNulByte("env", env);
  requireNoNulByte("package_path", package_path);
  requireNoNulByte("device", settings.device);
  requireNoNulByte("profile_dir", settings.profiling.directory);
  requireNoNulByte("profile_run_id", settings.profiling.run_id);
}

}  // namespace kestrel
