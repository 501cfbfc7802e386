#include "kestrel/pwas/settings.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrel {
namespace {

constexpr std::array<std::string_view, 8> kIntegerDtypes = {"int8",  "int16",  "int32",  "int64",
                                                            "uint8", "uint16", "uint32", "uint64"};
constexpr std::array<std::string_view, 4> kSignedDtypes = {"int8", "int16", "int32", "int64"};
constexpr std::array<std::string_view, 2> kFloatDtypes = {"float32", "float64"};

template <std::size_t N>
bool oneOf(const std::string& value, const std::array<std::string_view, N>& names) {
  return std::find(names.begin(), names.end(), value) != names.end();
}

void requireInteger(const char* field, const std::string& value) {
  if (!oneOf(value, kIntegerDtypes)) {
    throw std::invalid_argument(std::string("C++ CPU A* supports canonical integer dtype names for ") + field +
                                ", received '" + value + "'");
  }
}

void requireSigned(const char* field, const std::string& value) {
  if (!oneOf(value, kSignedDtypes)) {
    throw std::invalid_argument(std::string("C++ CPU A* requires a signed integer dtype for ") + field +
                                ", received '" + value + "'");
  }
}

void requireFloat(const char* field, const std::string& value) {
  if (!oneOf(value, kFloatDtypes)) {
    throw std::invalid_argument(std::string("C++ CPU A* supports float32 and float64 for ") + field + ", received '" +
                                value + "'");
  }
}

constexpr std::uint64_t kDefaultCapacity = 1024;
constexpr std::uint64_t kMinimumDerivedClosedCapacity = 8;

// The CLOSED request derived from the node-store hint, in float arithmetic so
// that the rounding matches the float settings it is made from.
std::uint64_t derivedClosedCapacity(std::int64_t node_store_hint, float factor) {
  const float scaled = std::ceil(static_cast<float>(node_store_hint) * factor);
  if (scaled < static_cast<float>(kMinimumDerivedClosedCapacity)) return kMinimumDerivedClosedCapacity;
  // An infinite or NaN product has no integer value; ask for more than any
  // table can hold and let the allocation report it.
  if (!(scaled < 0x1p64f)) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(scaled);
}

}  // namespace

void validateMemoryDtypes(const SolverSettings& s) {
  requireInteger("memory_dtype_node_state", s.memory_dtype_node_state);
  requireInteger("memory_dtype_open_index", s.memory_dtype_open_index);
  requireInteger("memory_dtype_closed_key", s.memory_dtype_closed_key);
  requireSigned("memory_dtype_parent_index", s.memory_dtype_parent_index);
  requireSigned("memory_dtype_parent_move", s.memory_dtype_parent_move);
  requireFloat("memory_dtype_path_cost", s.memory_dtype_path_cost);
  requireFloat("memory_dtype_heuristic", s.memory_dtype_heuristic);
  requireFloat("memory_dtype_total_cost", s.memory_dtype_total_cost);
  requireFloat("memory_dtype_open_cost", s.memory_dtype_open_cost);
  requireFloat("memory_dtype_closed_cost", s.memory_dtype_closed_cost);
}

std::uint64_t capacityHintOrDefault(std::int64_t hint, std::uint64_t fallback, const char* name) {
  if (hint < 0) throw std::invalid_argument(std::string(name) + " must be non-negative");
  return hint == 0 ? fallback : static_cast<std::uint64_t>(hint);
}

bool isHashtableAlgorithm(const std::string& name) { return name == "linear_probing" || name == "python_dict"; }

InitialCapacities resolveCapacities(const SolverSettings& s) {
  InitialCapacities capacities;
  capacities.open = capacityHintOrDefault(s.initial_open_size, kDefaultCapacity, "initial_open_size");
  capacities.node_store = capacityHintOrDefault(s.initial_node_store_size, kDefaultCapacity, "initial_node_store_size");
  // The raw node-store hint, not the resolved capacity: an unset hint keeps
  // the default rather than deriving 4096 from the default node store.
  const std::uint64_t closed_fallback = s.initial_closed_size == 0 && s.initial_node_store_size > 0
                                            ? derivedClosedCapacity(s.initial_node_store_size, s.hash_capacity_factor)
                                            : kDefaultCapacity;
  capacities.closed = capacityHintOrDefault(s.initial_closed_size, closed_fallback, "initial_closed_size");
  return capacities;
}

namespace {

std::string formatBytes(std::uint64_t bytes) {
  const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < std::size(units)) {
    value /= 1024.0;
    ++unit;
  }
  char text[64];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
  return text;
}

void requireBelow(std::uint64_t bytes, std::uint64_t available, const std::string& setting, std::uint64_t value,
                  const char* structure) {
  if (bytes <= available) return;
  throw std::invalid_argument(setting + " = " + std::to_string(value) + " would reserve " + formatBytes(bytes) +
                              " for the " + structure + ", more than the " + formatBytes(available) +
                              " of memory available");
}

}  // namespace

void requireReservable(const InitialCapacities& capacities, const SolverSettings& s, std::uint64_t available) {
  requireBelow(saturatingProduct(capacities.open, kOpenEntryBytes), available, "initial_open_size", capacities.open,
               "OPEN queue");
  requireBelow(saturatingProduct(capacities.node_store, kNodeStoreEntryBytes), available, "initial_node_store_size",
               capacities.node_store, "node store");
  constexpr std::uint64_t kLargestPowerOfTwo = std::uint64_t{1} << 63;
  const std::uint64_t slots = capacities.closed > kLargestPowerOfTwo ? std::numeric_limits<std::uint64_t>::max()
                                                                     : nextPowerOfTwo(capacities.closed);
  const bool derived = s.initial_closed_size == 0 && s.initial_node_store_size > 0;
  requireBelow(saturatingProduct(slots, kClosedSlotBytes), available,
               derived ? "initial_node_store_size * hash_capacity_factor" : "initial_closed_size", capacities.closed,
               "CLOSED table");
}

std::uint64_t availableMemoryBytes() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  std::uint64_t kib = 0;
  while (meminfo >> key >> kib) {
    if (key == "MemAvailable:") return kib * 1024;
    meminfo.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

}  // namespace kestrel
