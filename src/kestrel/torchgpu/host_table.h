#pragma once

// CLOSED lookups, placements and batch grouping of CPU tensors, row by row in
// host loops over the table's own arrays, stepping the host table's
// ProbeSequence. On the host each tensor operation costs
// microseconds and a probe nanoseconds, so walking each row's probe sequence
// beats the accelerator's blocks of operations. Lookups answer as the blocks
// do, field by field; placement fills the same slots, possibly in another
// order, which no lookup answer depends on. No tensor type appears here: the
// table hands over its arrays.

#include <cstdint>

#include "kestrel/solve/probe_sequence.h"

namespace kestrel {

// The table's slots and entries, as the tensor table keeps them.
struct HostTableArrays {
  const std::int64_t* slots = nullptr;         // capacity; -1 = empty, else an entry
  const std::int64_t* entry_hashes = nullptr;  // per entry, non-negative
  const std::uint8_t* entry_keys = nullptr;    // per entry, key_bytes each
  std::int64_t key_bytes = 0;
  std::int64_t capacity = 0;  // a power of two
  ProbeScheme scheme = ProbeScheme::PythonDict;
};

// Per row, what the tensor table's Lookup holds.
struct HostLookupRows {
  bool* found = nullptr;
  std::int64_t* slot = nullptr;          // where the row stopped; -1 when it never did
  std::int64_t* entry = nullptr;         // -1 unless found
  std::int64_t* perturbation = nullptr;  // the probe sequence's perturbation at `slot`
  std::int64_t* steps = nullptr;         // probes made before `slot` (before the last probe where it is -1)
};

struct HostLookupSummary {
  std::int64_t probes = 0;        // above every row's steps (0 for no rows)
  bool every_row_stopped = true;  // false when some row met neither an empty slot nor its key in capacity probes
};

// Looks up `rows` keys (key_bytes each, compared byte for byte) with their
// non-negative hashes. A row stops at an empty slot or at an entry of its
// hash whose key equals its own; with `compare_keys` false, at any entry of
// its hash, which then counts as found (the caller knows no key is stored).
HostLookupSummary lookUpOnHost(const HostTableArrays& table, const std::uint8_t* keys, const std::int64_t* hashes,
                               std::int64_t rows, bool compare_keys, const HostLookupRows& out);

// Groups the equal rows of a batch (key_bytes each, compared byte for byte,
// with their hashes): numbers the distinct rows from 0 in order of first
// appearance, writing each row's `group` and each group's first row. Returns
// the number of groups.
std::int64_t groupRowsOnHost(const std::uint8_t* keys, std::int64_t key_bytes, const std::int64_t* hashes,
                             std::int64_t rows, std::int64_t* group, std::int64_t* first_rows);

// The rows group after group, in batch order within a group (`order`), and
// the group of each (`order_groups`, ascending): a counting sort by group.
void orderByGroup(const std::int64_t* group, std::int64_t rows, std::int64_t groups, std::int64_t* order,
                  std::int64_t* order_groups);

// Where the lookups of rows stopped: the state of each probe sequence there.
struct ProbeStops {
  const std::int64_t* slot = nullptr;  // -1 where a row met no empty slot
  const std::int64_t* perturbation = nullptr;
  const std::int64_t* steps = nullptr;
};

// Places the `fresh` rows' entry `ids` in row order, each in the first empty
// slot of its probe sequence from where its lookup stopped on. A row that
// meets no empty slot within `capacity` probes in all stays unplaced.
// Returns how many were placed.
std::int64_t placeOnHost(std::int64_t* slots, std::int64_t capacity, ProbeScheme scheme, const bool* fresh,
                         const std::int64_t* ids, const ProbeStops& stops, std::int64_t rows);

}  // namespace kestrel
