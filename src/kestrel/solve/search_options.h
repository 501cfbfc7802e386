#pragma once

// The enumerated options of a solve, parsed once at the entry so that no
// search loop compares strings, and the checks both solvers make of them.

#include <cstdint>
#include <string>

#include "kestrel/solve/probe_sequence.h"

namespace kestrel {

enum class MoveSource { Infer, Stored };                        // "infer" | "stored"
enum class DuplicateMode { InPlace, NewSlot };                  // "in_place" | "new_slot"
enum class GoalStopMode { StopBeforeGoal, ExpandPoppedBatch };  // "stop_before_goal" | "expand_popped_batch"
enum class CapacityMode { Adaptive, Fixed };                    // "adaptive" | "fixed"

struct SearchOptions {
  MoveSource move_source = MoveSource::Infer;
  DuplicateMode duplicates = DuplicateMode::InPlace;
  GoalStopMode goal_stop = GoalStopMode::StopBeforeGoal;
  CapacityMode capacity = CapacityMode::Adaptive;
  ProbeScheme probing = ProbeScheme::PythonDict;
};

// Checks, in this order, solution_move_source, duplicate_update_mode,
// goal_stop_mode, hash_capacity_factor (> 1), capacity_mode and
// hashtable_algorithm; throws std::invalid_argument with the first failure.
SearchOptions parseSearchOptions(const std::string& solution_move_source, const std::string& duplicate_update_mode,
                                 const std::string& goal_stop_mode, float hash_capacity_factor,
                                 const std::string& capacity_mode, const std::string& hashtable_algorithm);

inline constexpr const char* kNegativeBudgetMessage = "search_budget must be non-negative";
inline constexpr const char* kNonFiniteWeightMessage =
    "weight must be a finite number (a float32 value: magnitudes above about 3.4e38 become infinite)";

// search_budget >= 0, else std::invalid_argument.
void requireNonNegativeBudget(std::int64_t search_budget);
// An infinite or NaN weight makes priorities equal or unordered and the
// search wanders without end: std::invalid_argument.
void requireFiniteWeight(float weight);

}  // namespace kestrel
