#include "kestrel/torchgpu/host_table.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace kestrel {

HostLookupSummary lookUpOnHost(const HostTableArrays& table, const std::uint8_t* keys, const std::int64_t* hashes,
                               std::int64_t rows, bool compare_keys, const HostLookupRows& out) {
  const std::uint64_t mask = static_cast<std::uint64_t>(table.capacity) - 1;
  std::int64_t longest = 0;  // the most steps of a row that stopped
  bool every_row_stopped = true;
  // Rows are independent; large batches split across the OpenMP team.
#pragma omp parallel for schedule(static) reduction(max : longest) reduction(&& : every_row_stopped) if (rows >= 16384)
  for (std::int64_t row = 0; row < rows; ++row) {
    const std::int64_t hash = hashes[row];
    const std::uint8_t* key = keys + row * table.key_bytes;
    ProbeSequence probe(table.scheme, static_cast<std::uint64_t>(hash), mask);
    std::int64_t entry = -1;
    std::int64_t step = 0;
    bool stopped = false;
    // A row that never stops ends at its last probe, `capacity` - 1 steps on.
    for (;; ++step) {
      const std::int64_t held = table.slots[probe.index()];
      if (held < 0) {
        stopped = true;
        break;
      }
      if (table.entry_hashes[held] == hash &&
          (!compare_keys || std::memcmp(table.entry_keys + held * table.key_bytes, key, table.key_bytes) == 0)) {
        entry = held;
        stopped = true;
        break;
      }
      if (step + 1 == table.capacity) break;
      probe.advance();
    }
    out.found[row] = entry >= 0;
    out.entry[row] = entry;
    out.slot[row] = stopped ? static_cast<std::int64_t>(probe.index()) : -1;
    out.perturbation[row] = static_cast<std::int64_t>(probe.perturbation());
    out.steps[row] = step;
    longest = std::max(longest, step);
    every_row_stopped = every_row_stopped && stopped;
  }
  return {rows == 0 ? 0 : longest + 1, every_row_stopped};
}

std::int64_t groupRowsOnHost(const std::uint8_t* keys, std::int64_t key_bytes, const std::int64_t* hashes,
                             std::int64_t rows, std::int64_t* group, std::int64_t* first_rows) {
  // A scratch table of group numbers at most half full, probed linearly.
  std::uint64_t size = 1;
  while (size < 2 * static_cast<std::uint64_t>(rows)) size *= 2;
  const std::uint64_t mask = size - 1;
  std::vector<std::int64_t> groups_at(size, -1);
  std::int64_t groups = 0;
  for (std::int64_t row = 0; row < rows; ++row) {
    const std::uint8_t* key = keys + row * key_bytes;
    for (std::uint64_t position = static_cast<std::uint64_t>(hashes[row]) & mask;; position = (position + 1) & mask) {
      const std::int64_t held = groups_at[position];
      if (held < 0) {
        groups_at[position] = groups;
        first_rows[groups] = row;
        group[row] = groups++;
        break;
      }
      const std::int64_t first = first_rows[held];
      if (hashes[first] == hashes[row] && std::memcmp(keys + first * key_bytes, key, key_bytes) == 0) {
        group[row] = held;
        break;
      }
    }
  }
  return groups;
}

void orderByGroup(const std::int64_t* group, std::int64_t rows, std::int64_t groups, std::int64_t* order,
                  std::int64_t* order_groups) {
  std::vector<std::int64_t> next(groups + 1, 0);  // where each group's rows go next
  for (std::int64_t row = 0; row < rows; ++row) ++next[group[row] + 1];
  for (std::int64_t g = 0; g < groups; ++g) next[g + 1] += next[g];
  for (std::int64_t row = 0; row < rows; ++row) {
    const std::int64_t at = next[group[row]]++;
    order[at] = row;
    order_groups[at] = group[row];
  }
}

std::int64_t placeOnHost(std::int64_t* slots, std::int64_t capacity, ProbeScheme scheme, const bool* fresh,
                         const std::int64_t* ids, const ProbeStops& stops, std::int64_t rows) {
  const std::uint64_t mask = static_cast<std::uint64_t>(capacity) - 1;
  std::int64_t placed = 0;
  for (std::int64_t row = 0; row < rows; ++row) {
    if (!fresh[row] || stops.slot[row] < 0) continue;
    ProbeSequence probe = ProbeSequence::resumedAt(scheme, static_cast<std::uint64_t>(stops.slot[row]),
                                                   static_cast<std::uint64_t>(stops.perturbation[row]), mask);
    // Rows placed before this one may hold the slot where its lookup stopped.
    for (std::int64_t step = stops.steps[row]; step < capacity; ++step, probe.advance()) {
      if (slots[probe.index()] < 0) {
        slots[probe.index()] = ids[row];
        ++placed;
        break;
      }
    }
  }
  return placed;
}

}  // namespace kestrel
