#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "kestrel/pwas/settings.h"
#include "support/expect_error.h"

namespace {

using kestrel::SolverSettings;
using kestrel::testing::kNothingThrown;
using kestrel::testing::thrownMessage;

std::string dtypeError(const SolverSettings& s) {
  return thrownMessage<std::invalid_argument>([&] { kestrel::validateMemoryDtypes(s); });
}
std::string optionError(const SolverSettings& s) {
  return thrownMessage<std::invalid_argument>([&] { kestrel::validateSearchOptions(s); });
}

struct DtypeField {
  const char* name;
  std::string SolverSettings::* member;
  const char* valid = "float32";
};

const std::vector<DtypeField> kIntegerFields = {
    {"memory_dtype_node_state", &SolverSettings::memory_dtype_node_state, "int32"},
    {"memory_dtype_open_index", &SolverSettings::memory_dtype_open_index, "int32"},
    {"memory_dtype_closed_key", &SolverSettings::memory_dtype_closed_key, "int32"},
};
const std::vector<DtypeField> kSignedFields = {
    {"memory_dtype_parent_index", &SolverSettings::memory_dtype_parent_index, "int32"},
    {"memory_dtype_parent_move", &SolverSettings::memory_dtype_parent_move, "int32"},
};
// In validation order.
const std::vector<DtypeField> kFloatFields = {
    {"memory_dtype_path_cost", &SolverSettings::memory_dtype_path_cost},
    {"memory_dtype_heuristic", &SolverSettings::memory_dtype_heuristic},
    {"memory_dtype_total_cost", &SolverSettings::memory_dtype_total_cost},
    {"memory_dtype_open_cost", &SolverSettings::memory_dtype_open_cost},
    {"memory_dtype_closed_cost", &SolverSettings::memory_dtype_closed_cost},
};

TEST(MemoryDtypes, DefaultsAndEveryCanonicalNameAreAccepted) {
  EXPECT_EQ(dtypeError(SolverSettings{}), kNothingThrown);
  for (const auto& field : kIntegerFields) {
    for (const char* name : {"int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"}) {
      SolverSettings s;
      s.*field.member = name;
      EXPECT_EQ(dtypeError(s), kNothingThrown) << field.name << "=" << name;
    }
  }
  for (const auto& field : kSignedFields) {
    for (const char* name : {"int8", "int16", "int32", "int64"}) {
      SolverSettings s;
      s.*field.member = name;
      EXPECT_EQ(dtypeError(s), kNothingThrown) << field.name << "=" << name;
    }
  }
  for (const auto& field : kFloatFields) {
    SolverSettings s;
    s.*field.member = "float64";
    EXPECT_EQ(dtypeError(s), kNothingThrown) << field.name;
  }
}

TEST(MemoryDtypes, EachClassHasItsMessage) {
  for (const auto& field : kIntegerFields) {
    for (const char* bad : {"int", "Int64", "int64 ", "float32", ""}) {
      SolverSettings s;
      s.*field.member = bad;
      EXPECT_EQ(dtypeError(s), std::string("C++ CPU A* supports canonical integer dtype names for ") + field.name +
                                   ", received '" + bad + "'");
    }
  }
  for (const auto& field : kSignedFields) {
    for (const char* bad : {"uint8", "uint64", "INT32", "int"}) {
      SolverSettings s;
      s.*field.member = bad;
      EXPECT_EQ(dtypeError(s), std::string("C++ CPU A* requires a signed integer dtype for ") + field.name +
                                   ", received '" + bad + "'");
    }
  }
  for (const auto& field : kFloatFields) {
    for (const char* bad : {"float16", "Float32", "float", "int32"}) {
      SolverSettings s;
      s.*field.member = bad;
      EXPECT_EQ(dtypeError(s),
                std::string("C++ CPU A* supports float32 and float64 for ") + field.name + ", received '" + bad + "'");
    }
  }
}

TEST(MemoryDtypes, FirstBadFieldInValidationOrderIsReported) {
  std::vector<DtypeField> order = kIntegerFields;
  order.insert(order.end(), kSignedFields.begin(), kSignedFields.end());
  order.insert(order.end(), kFloatFields.begin(), kFloatFields.end());
  // Break every field, then repair them front to back: each time the
  // earliest still-broken field must be the one named.
  SolverSettings s;
  for (const auto& field : order) s.*field.member = "bogus";
  for (const auto& field : order) {
    EXPECT_NE(dtypeError(s).find(std::string(" for ") + field.name + ", "), std::string::npos) << field.name;
    s.*field.member = field.valid;
  }
  EXPECT_EQ(dtypeError(s), kNothingThrown);
}

TEST(SearchOptions, DefaultsAreValid) { EXPECT_EQ(optionError(SolverSettings{}), kNothingThrown); }

TEST(SearchOptions, EnumeratedOptionsAreExactAndCaseSensitive) {
  struct Case {
    std::string SolverSettings::* member;
    std::vector<std::string> good;
    std::vector<std::string> bad;
    const char* message;
  };
  const std::vector<Case> cases = {
      {&SolverSettings::solution_move_source,
       {"infer", "stored"},
       {"Infer", "INFER", " infer", "infer ", ""},
       "solution_move_source must be 'infer' or 'stored'"},
      {&SolverSettings::duplicate_update_mode,
       {"in_place", "new_slot"},
       {"in-place", "In_place", "new slot"},
       "duplicate_update_mode must be 'in_place' or 'new_slot'"},
      {&SolverSettings::goal_stop_mode,
       {"stop_before_goal", "expand_popped_batch"},
       {"stop", "Stop_before_goal"},
       "goal_stop_mode must be 'stop_before_goal' or 'expand_popped_batch'"},
      {&SolverSettings::capacity_mode,
       {"adaptive", "fixed"},
       {"Fixed", "static"},
       "capacity_mode must be 'adaptive' or 'fixed'"},
      {&SolverSettings::hashtable_algorithm,
       {"linear_probing", "python_dict"},
       {"Linear_probing", "linear-probing", "python-dict", ""},
       "hashtable_algorithm must be 'linear_probing' or 'python_dict'"},
  };
  for (const auto& c : cases) {
    for (const auto& value : c.good) {
      SolverSettings s;
      s.*c.member = value;
      EXPECT_EQ(optionError(s), kNothingThrown) << value;
    }
    for (const auto& value : c.bad) {
      SolverSettings s;
      s.*c.member = value;
      EXPECT_EQ(optionError(s), c.message) << "'" << value << "'";
    }
  }
}

TEST(SearchOptions, HashCapacityFactorMustExceedOne) {
  const std::string message = "hash_capacity_factor must be greater than 1.0";
  SolverSettings s;
  for (float bad : {1.0f, 0.5f, -4.0f, 0.0f, std::numeric_limits<float>::quiet_NaN(),
                    static_cast<float>(1.0 + 1e-12)}) {  // a double that narrows to exactly 1.0
    s.hash_capacity_factor = bad;
    EXPECT_EQ(optionError(s), message) << bad;
  }
  s.hash_capacity_factor = std::nextafter(1.0f, 2.0f);
  EXPECT_EQ(optionError(s), kNothingThrown);
}

TEST(SearchOptions, SearchBudgetMustBeNonNegative) {
  SolverSettings s;
  s.search_budget = 0;
  EXPECT_EQ(optionError(s), kNothingThrown);
  s.search_budget = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(optionError(s), kNothingThrown);
  s.search_budget = -1;
  EXPECT_EQ(optionError(s), "search_budget must be non-negative");
}

TEST(SearchOptions, ChecksRunInOrder) {
  // Break every option; fixing them one at a time in the documented order
  // reveals the next message each time.
  SolverSettings s;
  s.solution_move_source = "x";
  s.duplicate_update_mode = "x";
  s.goal_stop_mode = "x";
  s.hash_capacity_factor = 1.0f;
  s.capacity_mode = "x";
  s.hashtable_algorithm = "x";
  s.search_budget = -5;
  const std::vector<std::pair<std::string, std::function<void()>>> steps = {
      {"solution_move_source must be 'infer' or 'stored'", [&] { s.solution_move_source = "stored"; }},
      {"duplicate_update_mode must be 'in_place' or 'new_slot'", [&] { s.duplicate_update_mode = "new_slot"; }},
      {"goal_stop_mode must be 'stop_before_goal' or 'expand_popped_batch'",
       [&] { s.goal_stop_mode = "expand_popped_batch"; }},
      {"hash_capacity_factor must be greater than 1.0", [&] { s.hash_capacity_factor = 2.0f; }},
      {"capacity_mode must be 'adaptive' or 'fixed'", [&] { s.capacity_mode = "fixed"; }},
      {"hashtable_algorithm must be 'linear_probing' or 'python_dict'",
       [&] { s.hashtable_algorithm = "linear_probing"; }},
      {"search_budget must be non-negative", [&] { s.search_budget = 0; }},
  };
  for (const auto& [message, fix] : steps) {
    EXPECT_EQ(optionError(s), message);
    fix();
  }
  EXPECT_EQ(optionError(s), kNothingThrown);
}

TEST(Capacity, HintOrDefault) {
  EXPECT_EQ(kestrel::capacityHintOrDefault(0, 77, "initial_open_size"), 77u);
  EXPECT_EQ(kestrel::capacityHintOrDefault(1, 77, "initial_open_size"), 1u);
  EXPECT_EQ(kestrel::capacityHintOrDefault(1000, 77, "initial_open_size"), 1000u);  // no rounding
  EXPECT_EQ(kestrel::capacityHintOrDefault(std::numeric_limits<std::int64_t>::max(), 77, "x"),
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()));
  EXPECT_EQ(thrownMessage<std::invalid_argument>([] { kestrel::capacityHintOrDefault(-1, 77, "some_hint"); }),
            "some_hint must be non-negative");
}

TEST(Capacity, NextPowerOfTwo) {
  EXPECT_EQ(kestrel::nextPowerOfTwo(0), 1u);
  EXPECT_EQ(kestrel::nextPowerOfTwo(1), 1u);
  EXPECT_EQ(kestrel::nextPowerOfTwo(2), 2u);
  EXPECT_EQ(kestrel::nextPowerOfTwo(5), 8u);
  EXPECT_EQ(kestrel::nextPowerOfTwo(8), 8u);
  EXPECT_EQ(kestrel::nextPowerOfTwo(1025), 2048u);
  EXPECT_EQ(kestrel::nextPowerOfTwo((std::uint64_t{1} << 40) + 1), std::uint64_t{1} << 41);
  EXPECT_EQ(kestrel::nextPowerOfTwo(std::uint64_t{1} << 63), std::uint64_t{1} << 63);
  // Beyond 2^63 doubling would wrap and never stop.
  EXPECT_THROW(kestrel::nextPowerOfTwo((std::uint64_t{1} << 63) + 1), std::length_error);
}

TEST(Capacity, HashtableAlgorithmNames) {
  EXPECT_TRUE(kestrel::isHashtableAlgorithm("linear_probing"));
  EXPECT_TRUE(kestrel::isHashtableAlgorithm("python_dict"));
  for (const char* name : {"Linear_probing", "linear-probing", "", "Python_dict", "python-dict", "python_dict "}) {
    EXPECT_FALSE(kestrel::isHashtableAlgorithm(name)) << "'" << name << "'";
  }
}

kestrel::InitialCapacities capacities(std::int64_t open, std::int64_t node_store, std::int64_t closed,
                                      float factor = 4.0f) {
  SolverSettings s;
  s.initial_open_size = open;
  s.initial_node_store_size = node_store;
  s.initial_closed_size = closed;
  s.hash_capacity_factor = factor;
  return kestrel::resolveCapacities(s);
}

TEST(Capacity, ResolvedCapacities) {
  const auto defaults = capacities(0, 0, 0);
  EXPECT_EQ(defaults.open, 1024u);
  EXPECT_EQ(defaults.node_store, 1024u);
  EXPECT_EQ(defaults.closed, 1024u);

  const auto hinted = capacities(3, 100, 0);
  EXPECT_EQ(hinted.open, 3u);
  EXPECT_EQ(hinted.node_store, 100u);
  EXPECT_EQ(hinted.closed, 400u);

  EXPECT_EQ(capacities(0, 100, 0, 2.0f).closed, 200u);
  EXPECT_EQ(capacities(0, 1, 0).closed, 8u);        // raised to the minimum
  EXPECT_EQ(capacities(0, 3, 0, 1.5f).closed, 8u);  // ceil(4.5) = 5, raised to 8
  EXPECT_EQ(capacities(0, 3, 0, 3.0f).closed, 9u);
  EXPECT_EQ(capacities(0, 100, 5, 4.0f).closed, 5u);  // explicit hint wins, even below the minimum
  EXPECT_EQ(capacities(0, 100, 1000, 64.0f).closed, 1000u);
  EXPECT_EQ(capacities(0, 0, 0, 64.0f).closed, 1024u);  // no node-store hint: the plain default
}

TEST(Capacity, DerivedClosedCapacityUsesFloatArithmetic) {
  // 1.1f is slightly above 1.1: in double 10 * 1.1f is 11.0000002 (ceiling
  // 12), in float the product rounds to exactly 11.
  EXPECT_EQ(capacities(0, 10, 0, 1.1f).closed, 11u);
  // 2^24 + 1 is not a float; it becomes 2^24 before the multiplication.
  EXPECT_EQ(capacities(0, (1 << 24) + 1, 0, 2.0f).closed, std::uint64_t{1} << 25);
}

TEST(Capacity, UnrepresentableDerivedCapacitySaturates) {
  EXPECT_EQ(capacities(0, 100, 0, std::numeric_limits<float>::infinity()).closed,
            std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(capacities(0, std::numeric_limits<std::int64_t>::max(), 0, 4.0f).closed,
            std::numeric_limits<std::uint64_t>::max());
}

TEST(Capacity, NegativeHintsReportedInResolutionOrder) {
  EXPECT_EQ(thrownMessage<std::invalid_argument>([] { capacities(-1, -1, -1); }),
            "initial_open_size must be non-negative");
  EXPECT_EQ(thrownMessage<std::invalid_argument>([] { capacities(0, -1, -1); }),
            "initial_node_store_size must be non-negative");
  EXPECT_EQ(thrownMessage<std::invalid_argument>([] { capacities(0, 0, -1); }),
            "initial_closed_size must be non-negative");
  EXPECT_EQ(thrownMessage<std::invalid_argument>([] { capacities(0, 50, -1); }),
            "initial_closed_size must be non-negative");
}

}  // namespace
