#include "kestrel/solve/search_options.h"

#include <cmath>
#include <stdexcept>

namespace kestrel {
namespace {

void require(bool ok, const char* message) {
  if (!ok) throw std::invalid_argument(message);
}

}  // namespace

SearchOptions parseSearchOptions(const std::string& solution_move_source, const std::string& duplicate_update_mode,
                                 const std::string& goal_stop_mode, float hash_capacity_factor,
                                 const std::string& capacity_mode, const std::string& hashtable_algorithm) {
  SearchOptions options;
  require(solution_move_source == "infer" || solution_move_source == "stored",
          "solution_move_source must be 'infer' or 'stored'");
  options.move_source = solution_move_source == "stored" ? MoveSource::Stored : MoveSource::Infer;
  require(duplicate_update_mode == "in_place" || duplicate_update_mode == "new_slot",
          "duplicate_update_mode must be 'in_place' or 'new_slot'");
  options.duplicates = duplicate_update_mode == "new_slot" ? DuplicateMode::NewSlot : DuplicateMode::InPlace;
  require(goal_stop_mode == "stop_before_goal" || goal_stop_mode == "expand_popped_batch",
          "goal_stop_mode must be 'stop_before_goal' or 'expand_popped_batch'");
  options.goal_stop =
      goal_stop_mode == "expand_popped_batch" ? GoalStopMode::ExpandPoppedBatch : GoalStopMode::StopBeforeGoal;
  require(hash_capacity_factor > 1.0f, "hash_capacity_factor must be greater than 1.0");  // NaN fails too
  require(capacity_mode == "adaptive" || capacity_mode == "fixed", "capacity_mode must be 'adaptive' or 'fixed'");
  options.capacity = capacity_mode == "fixed" ? CapacityMode::Fixed : CapacityMode::Adaptive;
  options.probing = probeSchemeFromName(hashtable_algorithm);
  return options;
}

void requireNonNegativeBudget(std::int64_t search_budget) { require(search_budget >= 0, kNegativeBudgetMessage); }

void requireFiniteWeight(float weight) { require(std::isfinite(weight), kNonFiniteWeightMessage); }

}  // namespace kestrel
