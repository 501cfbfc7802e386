#pragma once

// CLOSED of the tensor solver: an open-addressing table whose slots, keys,
// costs and hashes are tensors on the solve's device, and whose operations
// each take a whole batch of keys. It keeps, per distinct state, the lowest
// path cost seen, and decides which children of an expansion are kept.
// Entries are never removed; entry i keeps row i of keys/costs/hashes and
// exactly one slot holds i. On an accelerator the host reads only scalars
// that steer loops; on CPU tensors it walks the slots itself (LookupWork).

#include <ATen/core/Tensor.h>
#include <c10/core/Device.h>
#include <c10/core/ScalarType.h>

#include <cstdint>
#include <map>
#include <optional>

#include "kestrel/export.h"
#include "kestrel/solve/probe_sequence.h"

namespace kestrel {

// What a block of `count` consecutive probes needs per column (k = 0 to
// count: k steps ahead), made once per count and device.
struct ProbeColumns {
  std::int64_t count = 0;
  at::Tensor steps, shift, low_bits, power, inverse_power;  // int64 (count + 1)
  at::Tensor start_weight;  // inverse_power with 1 at k = 0, where a block from a hash sums its start
};
KESTREL_EXPORT ProbeColumns probeColumns(std::int64_t count, c10::Device device);

// The probe positions of `columns.count` consecutive probes of each row, the
// first at its current position, and where the sequence goes on: the
// position and perturbation after them. The same sequence as stepping with
// the scheme's `next`, computed in a fixed number of operations. Probe k of
// every row is row k of the block, so that each operation runs along the
// batch. Perturbations known to be non-negative (as the table's hashes
// are) are shifted without clearing the copied sign bits: one operation
// fewer.
struct ProbeBlock {
  at::Tensor positions;           // int64 (count, B), contiguous
  at::Tensor perturbations;       // int64 (count, B): the perturbation at each of those positions
  at::Tensor next_positions;      // int64 (B)
  at::Tensor next_perturbations;  // int64 (B)
};
enum class Perturbations { Any, NonNegative };
KESTREL_EXPORT ProbeBlock probeBlock(ProbeScheme scheme, const at::Tensor& positions, const at::Tensor& perturbations,
                                     const at::Tensor& mask, const ProbeColumns& columns,
                                     Perturbations sign = Perturbations::Any);
// The first block of each row's sequence, which starts at its (unmasked)
// hash as both position and perturbation: one operation fewer.
KESTREL_EXPORT ProbeBlock probeBlockFromHashes(ProbeScheme scheme, const at::Tensor& hashes, const at::Tensor& mask,
                                               const ProbeColumns& columns, Perturbations sign = Perturbations::Any);

// How lookups and the placement of new entries walk the probe sequences.
// On an accelerator, in blocks of tensor operations over every row at once,
// whose count does not depend on the probes they cover; new entries meeting
// in a slot leave it to the largest id. On CPU tensors, where an operation
// costs microseconds and a probe nanoseconds, row by row in host loops over
// the same arrays, new entries taking slots in row order (integer keys;
// float keys, compared by value, stay in blocks). Lookups answer alike;
// the layout may differ, which no answer depends on.
enum class LookupWork { TensorBlocks, HostLoop };
// HostLoop for CPU tensors, TensorBlocks elsewhere.
KESTREL_EXPORT LookupWork lookupWorkFor(c10::Device device);

class KESTREL_EXPORT TorchClosedTable {
 public:
  // Slots: the smallest power of two >= max(8, requested_capacity).
  // `lookup_work` defaults to lookupWorkFor(device); a host loop on another
  // device throws std::invalid_argument.
  TorchClosedTable(std::int64_t key_width, c10::Device device, c10::ScalarType key_dtype, c10::ScalarType cost_dtype,
                   std::int64_t requested_capacity, ProbeScheme scheme, bool fixed,
                   std::optional<LookupWork> lookup_work = std::nullopt);

  // Keys on the device in the key dtype, shape (B, W); a 1-D key of W
  // elements becomes one row. Throws std::invalid_argument "Key width
  // mismatch" or "Keys must have shape (B, key_width)".
  at::Tensor normalizeKeys(const at::Tensor& keys) const;

  // One hash per row of normalised keys: a weighted sum of the columns
  // (float columns truncated to integers) with random weights, mixed once; in chunks
  // of columns for wide keys of large batches. Non-negative int64 values, as
  // the table keeps every hash (it clears the sign bit of hashes it is given).
  at::Tensor hashKeys(const at::Tensor& keys) const;

  // Equal rows of a batch: group index per row, and per group the hash of
  // its first row and its key. Without duplicates: 0..B-1 and the inputs,
  // and `identity` is set (distinct keys may also be numbered in another
  // order, when two of them share a hash).
  // Unless `identity`, also the order that runs each group's rows together,
  // in batch order within a group, which filter() decides along.
  struct Groups {
    at::Tensor group;   // int64 (B)
    at::Tensor hashes;  // int64 (U)
    at::Tensor keys;    // (U, W)
    bool identity = false;
    at::Tensor order;         // int64 (B): batch rows, group after group
    at::Tensor order_groups;  // int64 (B): the group of each row of `order`, ascending
  };
  Groups dedupeBatch(const at::Tensor& keys, const at::Tensor& hashes) const;
  // dedupeBatch() in one pass on the host (LookupWork::HostLoop, integer
  // keys): groups numbered in order of first appearance.
  Groups dedupeOnHost(const at::Tensor& keys, const at::Tensor& hashes) const;

  // Per row: whether its key is stored, the slot holding it or the first
  // empty slot of its probe sequence (-1 when neither was met within
  // capacity probes), and its entry index (-1 when not found). Where a row
  // stopped, also the probe sequence's state there, from which a key that
  // loses that empty slot to another probes on.
  struct Lookup {
    at::Tensor found;                // bool (B)
    at::Tensor slot;                 // int64 (B)
    at::Tensor entry;                // int64 (B)
    at::Tensor perturbation;         // int64 (B): the perturbation at `slot`
    at::Tensor steps;                // int64 (B): probes made before `slot`
    std::int64_t capacity = 0;       // the table's capacity then: slots of another capacity are not its slots
    std::int64_t probes = 0;         // every row's `steps` is below this
    bool every_row_stopped = false;  // true only when the lookup knows no row's slot is -1
    at::Tensor entry_rows;           // when the lookup made it on its way: see entryRows()

    // `entry` with 0 for -1: a row of the entry arrays that every row may read.
    at::Tensor entryRows() const { return entry_rows.defined() ? entry_rows : entry.clamp_min(0); }
  };
  // Probes compare hashes; found rows are then checked against the stored
  // keys, unless the caller knows none of its keys is stored and treats a
  // found row as a hash shared with another key (KeyCheck::Skip).
  enum class KeyCheck { Compare, Skip };
  Lookup lookup(const at::Tensor& keys, const at::Tensor& hashes, KeyCheck key_check = KeyCheck::Compare) const;

  // Grows the slot array (doubling, re-placing the stored entries) so that
  // `need` used slots stay below two-thirds load. Fixed mode throws
  // std::runtime_error "fixed CLOSED capacity exhausted at capacity=<n>".
  void reserve(std::int64_t need);

  // Writes `costs` (already in the cost dtype) at the entries of the rows in
  // `update` (default: the found rows), appends the keys not found as new
  // entries in row order and places them. Returns the entry index per row.
  at::Tensor insert(const at::Tensor& keys, const at::Tensor& costs, const at::Tensor& hashes, const Lookup& lookup,
                    const std::optional<at::Tensor>& update = std::nullopt);

  // Writes entry ids into the slots of their keys; among keys of one batch
  // that meet in a slot the largest id wins and the others probe on. The ids
  // are stored entries (< size()): when a probe sequence finds no free slot,
  // an adaptive table grows and re-places all of them.
  void placeEntries(const at::Tensor& keys, const at::Tensor& hashes, const at::Tensor& ids,
                    const at::Tensor* first_slots = nullptr);

  // Accepts a child when its path cost is strictly lower than both the
  // stored cost of its state and every earlier same-state child of the batch,
  // and records the new best costs. Both duplicate modes decide alike; the
  // "in_place" mode also uses the entry index of each accepted child's state.
  // `keep` says which children the caller keeps: every accepted one, or the
  // cheapest child (the first in batch order on equal cost) of each state
  // with an accepted child, which is itself accepted.
  enum class Keep { Accepted, CheapestPerState };
  struct Filtered {
    at::Tensor accept;      // bool (B)
    at::Tensor entries;     // int64 (B): the state's entry, -1 for rejected children
    at::Tensor kept_rows;   // bool (B): the children kept, as `keep` asked
    std::int64_t kept = 0;  // how many
  };
  Filtered filter(const at::Tensor& children, const at::Tensor& child_costs, Keep keep = Keep::Accepted);

  std::int64_t keyWidth() const { return key_width_; }
  std::int64_t capacity() const { return capacity_; }
  std::int64_t entryCapacity() const { return entry_capacity_; }
  std::int64_t size() const { return size_; }
  std::int64_t usedSlots() const { return used_slots_; }
  const at::Tensor& slots() const { return slots_; }
  const at::Tensor& keys() const { return keys_; }    // first size() rows are live
  const at::Tensor& costs() const { return costs_; }  // first size() rows are live

 private:
  // Hashes as the table keeps them: int64 on its device, sign bit cleared.
  at::Tensor ownHashes(const at::Tensor& hashes) const;
  // lookup() and placeEntries() of normalised keys and the table's own hashes.
  Lookup find(const at::Tensor& keys, const at::Tensor& hashes, KeyCheck key_check) const;
  // find() row by row on the host (LookupWork::HostLoop).
  Lookup findOnHost(const at::Tensor& keys, const at::Tensor& hashes, KeyCheck key_check) const;
  void place(const at::Tensor& keys, const at::Tensor& hashes, const at::Tensor& ids,
             const at::Tensor* first_slots = nullptr);
  // Doubles the slot count (at least once) until `need` used slots stay below
  // two-thirds load, then re-places every stored entry.
  void growSlots(std::int64_t need);
  // Places keys in rounds: each takes the first empty slot of its probe
  // sequence, the largest id winning a slot several keys met in, and the
  // others look again. False when a pending key meets no empty slot within
  // capacity probes; the keys placed before it stay placed, and growing
  // re-places every entry anyway. A key the table already holds is a
  // caller's error (std::logic_error).
  // `first_slots`, when given, is where each key's probe sequence meets its
  // first empty slot now (a lookup's slots), which saves the first lookup.
  bool placeRounds(const at::Tensor& keys, const at::Tensor& hashes, const at::Tensor& ids,
                   const at::Tensor* first_slots = nullptr);
  // The rows whose hash alone does not place them (it matches a stored key,
  // or meets no empty slot): placed by comparing keys; false as above.
  bool placeComparingKeys(const at::Tensor& keys, const at::Tensor& hashes, const at::Tensor& ids);
  // Writes each id into its candidate slot, the largest id where several
  // meet; a row whose candidate is the scratch slot claims nothing. Whether
  // each row won its slot.
  at::Tensor claimSlots(const at::Tensor& candidates, const at::Tensor& ids);
  // filter()'s placement of its new entries (the rows marked `fresh`, with
  // entry ids `ids`; the others' ids are their entries) from its lookup,
  // without asking the host: keys that lose a slot to a larger id probe on
  // for one block and claim again. How many rows hold their slot afterwards,
  // the stored ones included (int64, 0-dim); placeMissed() places the rest.
  at::Tensor placeFresh(const at::Tensor& fresh, const at::Tensor& ids, const Lookup& found);
  // placeFresh() row by row on the host (LookupWork::HostLoop): each new
  // entry takes the first empty slot from where its lookup stopped on.
  at::Tensor placeFreshOnHost(const at::Tensor& fresh, const at::Tensor& ids, const Lookup& found);
  void placeMissed(const at::Tensor& fresh, const at::Tensor& keys, const at::Tensor& hashes, const at::Tensor& ids);
  // Entry rows for at least `need` entries (doubling); fixed mode throws
  // std::runtime_error "fixed CLOSED entry capacity exhausted ...".
  void ensureEntryRows(std::int64_t need);
  // The lookup by comparing whole keys at every probe: for the rows whose
  // hash matched a stored entry of another key.
  Lookup lookupComparingKeys(const at::Tensor& keys, const at::Tensor& hashes) const;
  const ProbeColumns& columnsFor(std::int64_t count) const;
  std::int64_t firstBlockLength(std::int64_t rows) const;
  // insert() once the host knows how many rows update and how many are new.
  at::Tensor insertCounted(const at::Tensor& keys, const at::Tensor& costs, const at::Tensor& hashes,
                           const Lookup& lookup, const at::Tensor& to_update, std::int64_t update_count,
                           std::int64_t fresh_count);
  // What filter() decides for each child and each state of the batch: which
  // children it accepts and the cost each state keeps.
  struct FilterDecision {
    at::Tensor accept;    // bool (B)
    at::Tensor costs;     // (U) in the cost dtype: each state's stored cost after the batch
    at::Tensor improved;  // bool (U): states with an accepted child
    at::Tensor cheapest;  // int64 (U): each state's cheapest child; undefined when every state has one child
  };
  // `fresh`: the states `found` did not find.
  FilterDecision decide(const Groups& groups, const at::Tensor& costs, const Lookup& found,
                        const at::Tensor& fresh) const;
  // Moves every row's probe position one step along its sequence.
  void advance(at::Tensor& positions, at::Tensor& perturbations) const;

  std::int64_t key_width_;
  c10::Device device_;
  c10::ScalarType key_dtype_;
  c10::ScalarType cost_dtype_;
  ProbeScheme scheme_;
  bool fixed_;
  LookupWork lookup_work_;
  std::int64_t capacity_ = 0;
  std::int64_t entry_capacity_ = 0;
  std::int64_t size_ = 0;
  std::int64_t used_slots_ = 0;
  mutable std::map<std::int64_t, ProbeColumns> probe_columns_;  // by probe count, for lookups
  // int64 (capacity + 1), -1 = empty. The last, the scratch slot past the
  // probed ones, takes the claims of rows that must not claim a slot; it
  // reads the largest int64, which no claim beats.
  at::Tensor slot_array_;
  at::Tensor slots_;   // the probed slots: a view of the first capacity
  at::Tensor keys_;    // (entry_capacity, W)
  at::Tensor costs_;   // (entry_capacity)
  at::Tensor hashes_;  // int64 (entry_capacity)
  at::Tensor mask_;    // int64 (1): capacity - 1
  at::Tensor mixers_;  // int64 (W)
};

}  // namespace kestrel
