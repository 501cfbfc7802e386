#include "kestrel/torchgpu/config.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "kestrel/solve/sizes.h"

namespace kestrel {

namespace {

constexpr std::int64_t kMinimumBase = 1024;
constexpr std::int64_t kMinimumClosed = 8;
constexpr std::int64_t kMaximumNnetBatch = 4096;

// ceil(nodes * factor) in float arithmetic, as the capacity hint is a float.
std::int64_t scaledClosedCapacity(std::int64_t nodes, float factor) {
  const float scaled = std::ceil(static_cast<float>(nodes) * factor);
  if (!(scaled >= static_cast<float>(kMinimumClosed))) {  // also catches NaN
    return kMinimumClosed;
  }
  // 2^63 is exactly representable; anything at or above it saturates.
  if (scaled >= 9223372036854775808.0f) {
    return std::numeric_limits<std::int64_t>::max();
  }
  return static_cast<std::int64_t>(scaled);
}

}  // namespace

c10::ScalarType scalarTypeFromName(const std::string& name) {
  static const std::array<std::pair<const char*, c10::ScalarType>, 10> kNames = {{
      {"float32", c10::ScalarType::Float},
      {"float64", c10::ScalarType::Double},
      {"int64", c10::ScalarType::Long},
      {"int32", c10::ScalarType::Int},
      {"int16", c10::ScalarType::Short},
      {"int8", c10::ScalarType::Char},
      {"uint8", c10::ScalarType::Byte},
      {"bool", c10::ScalarType::Bool},
      {"float16", c10::ScalarType::Half},
      {"bfloat16", c10::ScalarType::BFloat16},
  }};
  for (const auto& [candidate, type] : kNames) {
    if (name == candidate) {
      return type;
    }
  }
  throw std::invalid_argument("Unsupported scalar type name: " + name);
}

TorchStorageTypes storageTypesOf(const TorchAStarConfig& config) {
  // Members are initialised in declaration order, which is the order the
  // entry reports unknown names in.
  return TorchStorageTypes{
      scalarTypeFromName(config.memory_dtype_node_state),   scalarTypeFromName(config.memory_dtype_open_index),
      scalarTypeFromName(config.memory_dtype_open_cost),    scalarTypeFromName(config.memory_dtype_path_cost),
      scalarTypeFromName(config.memory_dtype_heuristic),    scalarTypeFromName(config.memory_dtype_total_cost),
      scalarTypeFromName(config.memory_dtype_parent_index), scalarTypeFromName(config.memory_dtype_parent_move),
      scalarTypeFromName(config.memory_dtype_closed_key),   scalarTypeFromName(config.memory_dtype_closed_cost),
  };
}

std::int64_t largestExactIndex(c10::ScalarType type, bool with_minus_one) {
  switch (type) {
    case c10::ScalarType::Bool:
      return with_minus_one ? -1 : 1;
    case c10::ScalarType::Byte:
      return with_minus_one ? -1 : std::numeric_limits<std::uint8_t>::max();
    case c10::ScalarType::Char:
      return std::numeric_limits<std::int8_t>::max();
    case c10::ScalarType::Short:
      return std::numeric_limits<std::int16_t>::max();
    case c10::ScalarType::Int:
      return std::numeric_limits<std::int32_t>::max();
    case c10::ScalarType::Half:
      return std::int64_t{1} << 11;
    case c10::ScalarType::BFloat16:
      return std::int64_t{1} << 8;
    case c10::ScalarType::Float:
      return std::int64_t{1} << 24;
    case c10::ScalarType::Double:
      return std::int64_t{1} << 53;
    default:
      return std::numeric_limits<std::int64_t>::max();
  }
}

void requireNumericCostTypes(const TorchStorageTypes& types) {
  const std::pair<c10::ScalarType, const char*> costs[] = {
      {types.path_cost, "memory_dtype_path_cost"},     {types.heuristic, "memory_dtype_heuristic"},
      {types.total_cost, "memory_dtype_total_cost"},   {types.open_cost, "memory_dtype_open_cost"},
      {types.closed_cost, "memory_dtype_closed_cost"},
  };
  for (const auto& [type, setting] : costs) {
    if (type == c10::ScalarType::Bool) {
      throw std::invalid_argument(std::string(setting) + " 'bool' cannot hold costs; choose a numeric storage type");
    }
  }
}

bool StorableRange::bounded() const { return std::isfinite(lowest) || std::isfinite(highest); }

StorableRange storableRange(c10::ScalarType type) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  switch (type) {
    case c10::ScalarType::Byte:
      return {0, std::numeric_limits<std::uint8_t>::max()};
    case c10::ScalarType::Char:
      return {std::numeric_limits<std::int8_t>::lowest(), std::numeric_limits<std::int8_t>::max()};
    case c10::ScalarType::Short:
      return {std::numeric_limits<std::int16_t>::lowest(), std::numeric_limits<std::int16_t>::max()};
    case c10::ScalarType::Int:
      return {static_cast<double>(std::numeric_limits<std::int32_t>::lowest()),
              static_cast<double>(std::numeric_limits<std::int32_t>::max())};
    case c10::ScalarType::Half:
      return {-65504.0, 65504.0};
    case c10::ScalarType::BFloat16:
      return {-3.3895313892515355e38, 3.3895313892515355e38};
    default:
      return {-kInfinity, kInfinity};
  }
}

TorchDerivedSizes deriveTorchSizes(const TorchAStarConfig& config, std::int64_t num_moves) {
  TorchDerivedSizes sizes;
  sizes.batch = config.batch_size >= 1 ? config.batch_size : 1;
  const std::int64_t expansion = saturatingProduct(sizes.batch, num_moves);
  const std::int64_t base = num_moves <= 0 ? kMinimumBase : std::max(expansion, kMinimumBase);

  sizes.open_capacity = config.initial_open_size >= 1 ? config.initial_open_size : base;
  if (config.initial_node_store_size >= 1) {
    sizes.node_store_capacity = config.initial_node_store_size;
    sizes.closed_capacity = config.initial_closed_size != 0
                                ? config.initial_closed_size
                                : scaledClosedCapacity(config.initial_node_store_size, config.hash_capacity_factor);
  } else {
    // The extra row holds the start node on top of one full batch expansion.
    sizes.node_store_capacity = base == std::numeric_limits<std::int64_t>::max() ? base : base + 1;
    sizes.closed_capacity = config.initial_closed_size != 0 ? config.initial_closed_size : base;
  }

  const std::int64_t nnet = config.nnet_batch_size >= 1 ? config.nnet_batch_size : expansion;
  sizes.nnet_batch = std::max<std::int64_t>(std::min(nnet, kMaximumNnetBatch), 1);
  return sizes;
}

}  // namespace kestrel
