#include "kestrel/torchgpu/closed_table.h"

#include <ATen/ATen.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "kestrel/solve/sizes.h"
#include "kestrel/torchgpu/counting.h"
#include "kestrel/torchgpu/hashing.h"
#include "kestrel/torchgpu/host_table.h"
#include "kestrel/torchgpu/sort_keys.h"

namespace kestrel {

namespace {

// The stored cost of a state not in the table: infinity where the type has
// one, else the type's largest value, which no stored cost reaches (the
// search refuses path costs that large).
c10::Scalar unreachedCost(c10::ScalarType cost_dtype) {
  if (at::isFloatingType(cost_dtype)) return std::numeric_limits<double>::infinity();
  switch (cost_dtype) {
    case c10::ScalarType::Byte:
      return std::int64_t{std::numeric_limits<std::uint8_t>::max()};
    case c10::ScalarType::Char:
      return std::int64_t{std::numeric_limits<std::int8_t>::max()};
    case c10::ScalarType::Short:
      return std::int64_t{std::numeric_limits<std::int16_t>::max()};
    case c10::ScalarType::Int:
      return std::int64_t{std::numeric_limits<std::int32_t>::max()};
    default:
      return std::numeric_limits<std::int64_t>::max();
  }
}

constexpr std::int64_t kMinimumCapacity = 8;
// Keys wider than this are hashed a few columns at a time, so that the
// per-column terms of a large batch stay within about this many elements.
constexpr std::int64_t kWholeRowColumns = 16;
constexpr std::int64_t kHashChunkElements = 2097152;
// The shortest and longest first block of a lookup, in probes; each further
// block doubles.
constexpr std::int64_t kFirstProbeBlock = 8;
constexpr std::int64_t kLongestFirstProbeBlock = 32;
// What a further block (about 35 operations and a host read) costs, counted
// in probes of one row: on an accelerator, where each launch costs
// microseconds and a probe next to nothing, about a million.
constexpr double kFurtherBlockCost = 1'000'000;
// The fewest rows filter()'s later placement rounds make room for, and
// the probes each of them makes: enough that a row meets no empty slot in
// them about once in a thousand at the highest load. A round runs while it
// is expected to place more keys than this, below which leaving them to the
// exact path costs less on average.
constexpr std::int64_t kLoserRows = 256;
constexpr std::int64_t kLoserProbes = 16;
constexpr double kLosersWorthARound = 0.25;

std::int64_t asInt64(std::uint64_t value) { return static_cast<std::int64_t>(value); }

std::string slotsExhausted(std::int64_t capacity) {
  return "fixed CLOSED capacity exhausted at capacity=" + std::to_string(capacity);
}

// `capacity` empty slots (-1) and the scratch slot past them, which reads
// more than any entry id.
at::Tensor emptySlots(std::int64_t capacity, const at::TensorOptions& longs) {
  at::Tensor slots = at::full({capacity + 1}, -1, longs);
  slots.narrow(0, capacity, 1).fill_(std::numeric_limits<std::int64_t>::max());
  return slots;
}

// True at position 0, and at each later position i where
// `compare(values[i], before[i - 1])` holds, written by `compare` as an
// out= comparison: two operations for the whole tensor.
template <typename Compare>
at::Tensor firstAndComparedWithPrevious(const at::Tensor& values, const at::Tensor& before, Compare compare) {
  at::Tensor marks = at::empty({values.size(0)}, values.options().dtype(at::kBool));
  if (values.size(0) == 0) return marks;
  marks.narrow(0, 0, 1).fill_(true);
  at::Tensor rest = marks.slice(0, 1);
  compare(rest, values.slice(0, 1), before.slice(0, 0, -1));
  return marks;
}

// True at each run start of `keys` and where a key lies below every key
// before it in its run. Keys must fall from run to run (every key of a run
// strictly below every key of the runs before it), so that one running
// minimum serves all runs and finds each run's start a record too.
at::Tensor recordsOfRuns(const at::Tensor& keys) {
  const at::Tensor running = std::get<0>(keys.cummin(0));
  return firstAndComparedWithPrevious(
      keys, running, [](at::Tensor& out, const at::Tensor& a, const at::Tensor& b) { at::lt_out(out, a, b); });
}

// Key rows of integers (or bools) narrower than 64 bits that fill whole
// 64-bit words, as those words: rows are equal exactly when their words are,
// and one word compares up to eight columns. Float rows compare by value (-0
// equals 0) and stay as they are, as do words already.
at::Tensor asWords(const at::Tensor& rows) {
  const std::int64_t size = rows.element_size();
  if (at::isFloatingType(rows.scalar_type()) || size >= 8 || rows.size(1) * size % 8 != 0) return rows;
  at::Tensor dense = rows.contiguous();
  if (dense.storage_offset() * size % 8 != 0) dense = dense.clone();
  return dense.view(at::kLong);
}

// True at the first element of each run of equal values in a sorted 1-D tensor.
at::Tensor runStarts(const at::Tensor& sorted) {
  return firstAndComparedWithPrevious(
      sorted, sorted, [](at::Tensor& out, const at::Tensor& a, const at::Tensor& b) { at::ne_out(out, a, b); });
}

}  // namespace

TorchClosedTable::TorchClosedTable(std::int64_t key_width, c10::Device device, c10::ScalarType key_dtype,
                                   c10::ScalarType cost_dtype, std::int64_t requested_capacity, ProbeScheme scheme,
                                   bool fixed, std::optional<LookupWork> lookup_work)
    : key_width_(key_width),
      device_(device),
      key_dtype_(key_dtype),
      cost_dtype_(cost_dtype),
      scheme_(scheme),
      fixed_(fixed),
      // Byte-wise key comparison would tell -0 from 0: float keys stay in blocks.
      lookup_work_(at::isFloatingType(key_dtype) ? LookupWork::TensorBlocks
                                                 : lookup_work.value_or(lookupWorkFor(device))) {
  if (lookup_work_ == LookupWork::HostLoop && !device.is_cpu()) {
    throw std::invalid_argument("CLOSED lookups run in a host loop on CPU tensors only");
  }
  if (key_width < 1) throw std::invalid_argument("key_width must be positive");
  const at::TensorOptions longs = at::TensorOptions().dtype(at::kLong).device(device_);
  constexpr std::int64_t kLargestCapacity = std::int64_t{1} << 62;  // its double must still be an int64
  if (requested_capacity > kLargestCapacity) {
    throw std::length_error("CLOSED capacity " + std::to_string(requested_capacity) + " is too large");
  }
  capacity_ = asInt64(nextPowerOfTwo(static_cast<std::uint64_t>(std::max(kMinimumCapacity, requested_capacity))));
  entry_capacity_ = capacity_;
  mask_ = at::full({1}, capacity_ - 1, longs);
  slot_array_ = emptySlots(capacity_, longs);
  slots_ = slot_array_.narrow(0, 0, capacity_);
  keys_ = at::empty({entry_capacity_, key_width_}, longs.dtype(key_dtype_));
  costs_ = at::empty({entry_capacity_}, longs.dtype(cost_dtype_));
  hashes_ = at::empty({entry_capacity_}, longs);
  // Random weights keep the table's layout from being predictable; odd
  // ones never sum keys differing in one column alike. randint accepts the
  // whole int64 range: spans of 2^32 and more are drawn from 64 random bits
  // on every backend.
  mixers_ = at::randint(std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(),
                        {key_width_}, longs) |
            1;
}

at::Tensor TorchClosedTable::normalizeKeys(const at::Tensor& keys) const {
  if (keys.dim() == 1) {
    if (keys.size(0) != key_width_) throw std::invalid_argument("Key width mismatch");
    return keys.to(device_, key_dtype_).reshape({1, key_width_});
  }
  if (keys.dim() != 2 || keys.size(1) != key_width_) {
    throw std::invalid_argument("Keys must have shape (B, key_width)");
  }
  return keys.to(device_, key_dtype_);
}

// A weighted sum of the columns, mixed once: every column is weighted by its
// own odd random number, drawn with the table, which keeps the table's
// layout from being predictable. Integer columns multiply as they are (the product is
// int64); float columns are converted first. Rows of narrow integers whose
// bytes fill whole 64-bit words are summed a word at a time: a sixteenth of
// the work for sixteen one-byte columns.
at::Tensor TorchClosedTable::hashKeys(const at::Tensor& keys) const {
  const at::Tensor on_device = keys.to(device_);
  at::Tensor columns = on_device;
  if (at::isFloatingType(on_device.scalar_type())) {
    columns = on_device.to(at::kLong);
  } else if (const std::int64_t row_bytes = on_device.size(1) * on_device.element_size();
             on_device.element_size() < 8 && row_bytes % 8 == 0) {
    columns = on_device.contiguous().view(at::kLong);
  }
  const std::int64_t rows = columns.size(0);
  const std::int64_t width = columns.size(1);
  const auto sumTerms = [&](std::int64_t begin, std::int64_t end) {
    return (columns.slice(1, begin, end) * mixers_.slice(0, begin, end)).sum(1, /*keepdim=*/false, at::kLong);
  };
  at::Tensor acc;
  const std::int64_t chunk = std::max(kWholeRowColumns, kHashChunkElements / std::max<std::int64_t>(rows, 1));
  if (width > kWholeRowColumns && chunk < width) {
    acc = at::zeros({rows}, mixers_.options());
    for (std::int64_t begin = 0; begin < width; begin += chunk) {
      acc += sumTerms(begin, std::min(begin + chunk, width));
    }
  } else {
    acc = sumTerms(0, width);
  }
  return shortMix63(acc);
}

TorchClosedTable::Groups TorchClosedTable::dedupeBatch(const at::Tensor& keys, const at::Tensor& hashes) const {
  const std::int64_t rows = keys.size(0);
  const auto identity = [&] { return Groups{at::arange(rows, hashes.options().dtype(at::kLong)), hashes, keys, true}; };
  if (rows < 2) return identity();
  if (lookup_work_ == LookupWork::HostLoop && !at::isFloatingType(keys.scalar_type())) {
    return dedupeOnHost(keys, hashes);
  }
  // Equal keys have equal hashes, so a batch without a repeated hash has no
  // repeated key and skips the grouping.
  at::Tensor sorted_hashes, order;
  std::tie(sorted_hashes, order) = stableSort(hashes);
  const at::Tensor starts = runStarts(sorted_hashes);

  // Group the rows by hash, numbering runs of the sorted hashes; the stable
  // sort makes each run's first row the first in batch order. A row-wise
  // unique costs far more than this sort, and is needed only if two different
  // keys share a 64-bit hash, which the key comparison detects: every row is
  // compared with the row before it, within its run (a run whose rows each
  // equal the one before holds one key). One read tells the number of runs
  // and whether the comparison failed.
  const at::Tensor sorted_keys = asWords(keys).index_select(0, order);
  // Greater than its run start mark: a key that differs where no run starts.
  const at::Tensor mismatch =
      anyTrue(sorted_keys.slice(0, 1).ne(sorted_keys.slice(0, 0, -1)).gt_(starts.slice(0, 1).unsqueeze(1)));
  const at::Tensor runs = starts.cumsum(0, at::kLong);  // the last one counts them
  const std::vector<std::int64_t> read =
      readCounts({{runs.select(0, rows - 1), rows}, {mismatch, (rows - 1) * sorted_keys.size(1)}});
  const std::int64_t unique = read[0];
  const bool shared_hash = read[1] != 0;
  if (unique == rows) return identity();
  if (!shared_hash) {
    const at::Tensor first_rows = order.index_select(0, at::nonzero_static(starts, unique).reshape({-1}));
    const at::Tensor sorted_group = runs.sub(1);
    at::Tensor group = at::empty_like(order);
    group.index_copy_(0, order, sorted_group);
    return {group, hashes.index_select(0, first_rows), keys.index_select(0, first_rows), false, order, sorted_group};
  }
  at::Tensor exact_keys, exact_group;
  std::tie(exact_keys, exact_group, std::ignore) = at::unique_dim(keys, 0, /*sorted=*/true, /*return_inverse=*/true);
  at::Tensor sorted_groups, group_order;
  std::tie(sorted_groups, group_order) = stableSort(exact_group);
  const at::Tensor group_starts = runStarts(sorted_groups);
  const at::Tensor exact_first = group_order.masked_select(group_starts);
  return {exact_group, hashes.index_select(0, exact_first), exact_keys, false, group_order, sorted_groups};
}

TorchClosedTable::Groups TorchClosedTable::dedupeOnHost(const at::Tensor& keys, const at::Tensor& hashes) const {
  const std::int64_t rows = keys.size(0);
  const at::Tensor dense_keys = keys.contiguous(), dense_hashes = hashes.contiguous();
  const at::TensorOptions longs = hashes.options().dtype(at::kLong);
  at::Tensor group = at::empty({rows}, longs), first_rows = at::empty({rows}, longs);
  const std::int64_t groups = groupRowsOnHost(
      static_cast<const std::uint8_t*>(dense_keys.data_ptr()), keys.size(1) * keys.element_size(),
      dense_hashes.data_ptr<std::int64_t>(), rows, group.data_ptr<std::int64_t>(), first_rows.data_ptr<std::int64_t>());
  if (groups == rows) return {group, hashes, keys, true};  // group numbers rows in order: the identity
  first_rows = first_rows.narrow(0, 0, groups);
  at::Tensor order = at::empty({rows}, longs), order_groups = at::empty({rows}, longs);
  orderByGroup(group.data_ptr<std::int64_t>(), rows, groups, order.data_ptr<std::int64_t>(),
               order_groups.data_ptr<std::int64_t>());
  return {group, hashes.index_select(0, first_rows), keys.index_select(0, first_rows), false, order, order_groups};
}

void TorchClosedTable::advance(at::Tensor& positions, at::Tensor& perturbations) const {
  positions = scheme_ == ProbeScheme::LinearProbing
                  ? LinearProbing::next(positions, perturbations, mask_, logicalShiftRight)
                  : PythonDictProbing::next(positions, perturbations, mask_, logicalShiftRight);
}

ProbeColumns probeColumns(std::int64_t count, c10::Device device) {
  // Step j: p_j = p_0 >>> 5j, pos_j = 5 pos_(j-1) + 1 + p_j (mod 2^64, masked
  // at the end, which commutes with every step). Unrolled:
  //   pos_k = 5^k (pos_0 + sum_(j=1..k) 5^-j (1 + p_j)),
  // where 5 has an inverse modulo 2^64, so one cumulative sum gives every
  // column. Shifts of 64 bits and more leave nothing.
  std::vector<std::int64_t> rows(6 * (count + 1));
  const auto at = [&](std::int64_t row, std::int64_t k) -> std::int64_t& { return rows[row * (count + 1) + k]; };
  std::uint64_t five_k = 1, inverse_k = 1;
  constexpr std::uint64_t kInverseOfFive = 0xCCCCCCCCCCCCCCCDULL;  // 5 * this = 1 (mod 2^64)
  for (std::int64_t k = 0; k <= count; ++k) {
    const std::int64_t bits = PythonDictProbing::kPerturbationShift * k;
    at(0, k) = k;
    at(1, k) = std::min<std::int64_t>(bits, 63);
    at(2, k) = bits >= 64 ? 0 : static_cast<std::int64_t>(~std::uint64_t{0} >> bits);
    at(3, k) = static_cast<std::int64_t>(five_k);
    at(4, k) = k == 0 ? 0 : static_cast<std::int64_t>(inverse_k);  // column 0 adds nothing
    at(5, k) = static_cast<std::int64_t>(inverse_k);               // ... unless it is the start
    five_k *= 5;
    inverse_k *= kInverseOfFive;
  }
  const at::Tensor table = at::tensor(rows, at::TensorOptions().dtype(at::kLong)).view({6, count + 1}).to(device);
  return {count, table[0], table[1], table[2], table[3], table[4], table[5]};
}

namespace {

// probeBlock(), where `from_hashes` says that positions and perturbations
// are the same hashes: the start position is then p_0, which column 0 of
// the sum takes when weighted 1, and needs no add of its own.
ProbeBlock probeBlockFrom(ProbeScheme scheme, const at::Tensor& positions, const at::Tensor& perturbations,
                          const at::Tensor& mask, const ProbeColumns& columns, bool from_hashes, Perturbations sign) {
  const std::int64_t count = columns.count;
  const auto column = [](const at::Tensor& values) { return values.unsqueeze(1); };  // one value per probe
  if (scheme == ProbeScheme::LinearProbing) {
    const at::Tensor all = (positions.unsqueeze(0) + column(columns.steps)) & mask;
    return {all.narrow(0, 0, count), perturbations.unsqueeze(0).expand({count, -1}), all.select(0, count),
            perturbations};
  }
  at::Tensor p = at::bitwise_right_shift(perturbations.unsqueeze(0), column(columns.shift));
  if (sign == Perturbations::Any) p = p & column(columns.low_bits);
  const at::Tensor inverse_power = column(columns.inverse_power);
  const at::Tensor weight = from_hashes ? column(columns.start_weight) : inverse_power;
  const at::Tensor sums = at::addcmul(inverse_power, p, weight).cumsum(0);  // (p + 1) 5^-k
  const at::Tensor all = ((from_hashes ? sums : positions.unsqueeze(0) + sums) * column(columns.power)) & mask;
  return {all.narrow(0, 0, count), p.narrow(0, 0, count), all.select(0, count), p.select(0, count)};
}

}  // namespace

ProbeBlock probeBlock(ProbeScheme scheme, const at::Tensor& positions, const at::Tensor& perturbations,
                      const at::Tensor& mask, const ProbeColumns& columns, Perturbations sign) {
  return probeBlockFrom(scheme, positions, perturbations, mask, columns, false, sign);
}

ProbeBlock probeBlockFromHashes(ProbeScheme scheme, const at::Tensor& hashes, const at::Tensor& mask,
                                const ProbeColumns& columns, Perturbations sign) {
  return probeBlockFrom(scheme, hashes, hashes, mask, columns, true, sign);
}

std::int64_t TorchClosedTable::firstBlockLength(std::int64_t rows) const {
  // Every row of the first block probes all of it, so its work grows with
  // rows x probes, while a row still probing after it costs a further block:
  // a fixed number of operations and a host read. A row goes on past k probes
  // about load^k of the time; the length kept minimises the expected total.
  const double load = static_cast<double>(used_slots_) / static_cast<double>(capacity_);
  const double n = static_cast<double>(rows);
  std::int64_t best = kFirstProbeBlock;
  double best_cost = std::numeric_limits<double>::infinity();
  for (std::int64_t probes = kFirstProbeBlock; probes <= kLongestFirstProbeBlock; probes += 4) {
    const double cost = n * static_cast<double>(probes) +
                        kFurtherBlockCost * std::min(1.0, n * std::pow(load, static_cast<double>(probes)));
    if (cost < best_cost) best = probes, best_cost = cost;
  }
  return best;
}

LookupWork lookupWorkFor(c10::Device device) {
  return device.is_cpu() ? LookupWork::HostLoop : LookupWork::TensorBlocks;
}

const ProbeColumns& TorchClosedTable::columnsFor(std::int64_t count) const {
  auto found = probe_columns_.find(count);
  if (found == probe_columns_.end()) found = probe_columns_.emplace(count, probeColumns(count, device_)).first;
  return found->second;
}

at::Tensor TorchClosedTable::ownHashes(const at::Tensor& hashes) const {
  return hashes.to(device_, at::kLong).reshape({-1}) & std::numeric_limits<std::int64_t>::max();
}

TorchClosedTable::Lookup TorchClosedTable::lookup(const at::Tensor& keys, const at::Tensor& hashes,
                                                  KeyCheck key_check) const {
  return find(normalizeKeys(keys), ownHashes(hashes), key_check);
}

TorchClosedTable::Lookup TorchClosedTable::find(const at::Tensor& all_keys, const at::Tensor& all_hashes,
                                                KeyCheck key_check) const {
  const std::int64_t rows = all_keys.size(0);
  if (all_hashes.size(0) != rows) throw std::invalid_argument("Expected one hash per key row");
  if (lookup_work_ == LookupWork::HostLoop) return findOnHost(all_keys, all_hashes, key_check);
  const at::TensorOptions longs = all_hashes.options();
  if (rows == 0) {
    const at::Tensor none = at::empty({0}, longs);
    Lookup empty{none.to(at::kBool), none, none, none, none, capacity_};
    empty.every_row_stopped = true;
    return empty;
  }

  // Probes run in blocks: a block gathers the next few slots of every row
  // still probing at once and compares stored hashes only, so its cost in
  // operations does not depend on how many probes it covers. Only between
  // blocks is the host asked how many rows go on; blocks double, so a batch
  // pays a few reads however long its longest probe sequence. A row stops at
  // an empty slot or at its own hash; the first block writes every row's
  // answer, later ones those of the rows still probing. A row found at
  // another key of its hash is caught by the same read, and answered
  // afterwards by comparing keys.
  Lookup result;
  result.capacity = capacity_;
  result.every_row_stopped = true;  // until a row runs out of probes
  at::Tensor active;                // rows still probing after the first block
  at::Tensor active_hashes = all_hashes, active_keys = asWords(all_keys);
  const at::Tensor stored_keys = asWords(keys_);
  // Where later blocks go on; the first starts from the hashes themselves.
  at::Tensor positions, perturbations;
  std::int64_t probes = 0;
  bool shared_hash = false;  // some row stopped at another key of its hash
  for (std::int64_t block = firstBlockLength(rows); probes < capacity_; block *= 2) {
    const std::int64_t count = std::min(block, capacity_ - probes);
    const ProbeBlock next =
        probes == 0
            ? probeBlockFromHashes(scheme_, all_hashes, mask_, columnsFor(count), Perturbations::NonNegative)
            : probeBlock(scheme_, positions, perturbations, mask_, columnsFor(count), Perturbations::NonNegative);
    const std::int64_t n = active_hashes.size(0);
    const at::Tensor stored = slots_.index_select(0, next.positions.view({-1})).view({count, n});
    const at::Tensor empty = stored.lt(0);
    // An empty slot stops a row whatever the hash its clamped index reads.
    const at::Tensor stop = hashes_.index_select(0, stored.clamp_min(0).view({-1}))
                                .view({count, n})
                                .eq(active_hashes.unsqueeze(0))
                                .logical_or_(empty);
    // A row's maximum over its probes says whether it stopped, and its index
    // is the first maximal probe: the row's first stop (probe 0 where none,
    // an answer a later block replaces).
    const auto [stopped_at, first_at] = stop.max(0, /*keepdim=*/true);
    const at::Tensor stopped = stopped_at.squeeze(0), first = first_at.squeeze(0);
    at::Tensor slot = next.positions.gather(0, first_at).squeeze(0);
    at::Tensor entry = stored.gather(0, first_at).squeeze(0);
    at::Tensor perturbation = next.perturbations.gather(0, first_at).squeeze(0);
    at::Tensor steps = probes == 0 ? first : first + probes;
    probes += count;
    if (!active.defined()) {
      result.slot = slot, result.entry = entry, result.perturbation = perturbation, result.steps = steps;
    } else {
      result.slot.index_copy_(0, active, slot);
      result.entry.index_copy_(0, active, entry);
      result.perturbation.index_copy_(0, active, perturbation);
      result.steps.index_copy_(0, active, steps);
    }
    at::Tensor keep, found, entry_rows;
    if (key_check == KeyCheck::Compare) {
      found = entry.ge(0).logical_and_(stopped);
      entry_rows = entry.clamp_min(0);
      const at::Tensor shared =
          anyTrue(active_keys.ne(stored_keys.index_select(0, entry_rows)).logical_and_(found.unsqueeze(1)));
      const std::vector<std::int64_t> read = readCounts({{countTrue(stopped), n}, {shared, n * active_keys.size(1)}});
      shared_hash = shared_hash || read[1] != 0;
      const std::int64_t still_probing = n - read[0];
      keep = still_probing == 0 ? at::empty({0}, longs)
                                : at::nonzero_static(stopped.logical_not(), still_probing).reshape({-1});
    } else {
      keep = stopped.logical_not().nonzero().squeeze(1);
    }
    if (keep.size(0) == 0 && !active.defined()) {
      // Every row stopped in the first block: its found rows are the answer.
      active = keep;
      if (found.defined()) result.found = found, result.entry_rows = entry_rows;
      break;
    }
    active = active.defined() ? active.index_select(0, keep) : keep;
    if (keep.size(0) == 0) break;
    active_hashes = active_hashes.index_select(0, keep);
    if (key_check == KeyCheck::Compare) active_keys = active_keys.index_select(0, keep);
    positions = next.next_positions.index_select(0, keep);
    perturbations = next.next_perturbations.index_select(0, keep);
  }
  result.probes = probes;
  if (active.size(0) > 0) {  // no stop within capacity probes
    result.every_row_stopped = false;
    result.slot.index_fill_(0, active, -1);
    result.entry.index_fill_(0, active, -1);
  }
  if (!result.found.defined()) result.found = result.entry.ge(0);

  if (!shared_hash) return result;
  // A stored hash equal to a row's, under another key (rare): that row's
  // answer is recomputed by comparing keys at every probe.
  const at::Tensor wrong =
      result.found.logical_and(asWords(all_keys).ne(stored_keys.index_select(0, result.entryRows())).any(1));
  const at::Tensor redo = wrong.nonzero().squeeze(1);
  const Lookup exact = lookupComparingKeys(all_keys.index_select(0, redo), all_hashes.index_select(0, redo));
  result.found.index_copy_(0, redo, exact.found);
  result.slot.index_copy_(0, redo, exact.slot);
  result.entry.index_copy_(0, redo, exact.entry);
  result.perturbation.index_copy_(0, redo, exact.perturbation);
  result.steps.index_copy_(0, redo, exact.steps);
  result.probes = std::max(result.probes, exact.probes);
  result.every_row_stopped = result.every_row_stopped && exact.every_row_stopped;
  result.entry_rows = at::Tensor();  // the redone rows' entries changed
  return result;
}

TorchClosedTable::Lookup TorchClosedTable::findOnHost(const at::Tensor& keys, const at::Tensor& hashes,
                                                      KeyCheck key_check) const {
  if (keys.scalar_type() != key_dtype_) throw std::logic_error("findOnHost() needs keys in the table's key type");
  const std::int64_t rows = keys.size(0);
  const at::TensorOptions longs = hashes.options();
  const at::Tensor dense_keys = keys.contiguous(), dense_hashes = hashes.contiguous();
  Lookup result{at::empty({rows}, longs.dtype(at::kBool)),
                at::empty({rows}, longs),
                at::empty({rows}, longs),
                at::empty({rows}, longs),
                at::empty({rows}, longs),
                capacity_};
  const HostTableArrays table{slots_.data_ptr<std::int64_t>(),
                              hashes_.data_ptr<std::int64_t>(),
                              static_cast<const std::uint8_t*>(keys_.data_ptr()),
                              key_width_ * keys_.element_size(),
                              capacity_,
                              scheme_};
  const HostLookupSummary summary = lookUpOnHost(
      table, static_cast<const std::uint8_t*>(dense_keys.data_ptr()), dense_hashes.data_ptr<std::int64_t>(), rows,
      key_check == KeyCheck::Compare,
      {result.found.data_ptr<bool>(), result.slot.data_ptr<std::int64_t>(), result.entry.data_ptr<std::int64_t>(),
       result.perturbation.data_ptr<std::int64_t>(), result.steps.data_ptr<std::int64_t>()});
  result.probes = summary.probes;
  result.every_row_stopped = summary.every_row_stopped;
  return result;
}

TorchClosedTable::Lookup TorchClosedTable::lookupComparingKeys(const at::Tensor& all_keys,
                                                               const at::Tensor& all_hashes) const {
  const std::int64_t rows = all_keys.size(0);
  const at::TensorOptions longs = all_hashes.options();
  Lookup result{at::zeros({rows}, longs.dtype(at::kBool)),
                at::full({rows}, -1, longs),
                at::full({rows}, -1, longs),
                at::zeros({rows}, longs),
                at::zeros({rows}, longs),
                capacity_};

  // Rows still searching, compacted each round so that work shrinks with
  // them; `active` maps them back to the batch.
  at::Tensor active = at::arange(rows, longs);
  at::Tensor active_keys = asWords(all_keys);
  const at::Tensor stored_keys = asWords(keys_);
  at::Tensor positions = homeSlot(all_hashes, mask_);
  at::Tensor perturbations = all_hashes;
  for (std::int64_t probe = 0; probe < capacity_ && active.size(0) > 0; ++probe) {
    const at::Tensor stored = slots_.index_select(0, positions);
    const at::Tensor occupied = stored >= 0;
    // A row at an empty slot compares against entry 0 once, masked out, and
    // leaves the active set: cheaper than compacting twice per round.
    const at::Tensor same = occupied & (active_keys == stored_keys.index_select(0, stored.clamp_min(0))).all(1);
    const at::Tensor stop = same | occupied.logical_not();
    result.found.index_copy_(0, active, same);
    result.slot.index_copy_(0, active, at::where(stop, positions, -1));
    result.entry.index_copy_(0, active, at::where(same, stored, -1));
    result.perturbation.index_copy_(0, active, perturbations);
    result.steps.index_fill_(0, active, probe);
    const at::Tensor keep = stop.logical_not().nonzero().squeeze(1);
    active = active.index_select(0, keep);
    active_keys = active_keys.index_select(0, keep);
    positions = positions.index_select(0, keep);
    perturbations = perturbations.index_select(0, keep);
    advance(positions, perturbations);
    result.probes = probe + 1;
  }
  result.every_row_stopped = active.size(0) == 0;
  return result;
}

void TorchClosedTable::reserve(std::int64_t need) {
  if (3 * used_slots_ < 2 * capacity_ && 3 * need < 2 * capacity_) return;
  if (fixed_) throw std::runtime_error(slotsExhausted(capacity_));
  growSlots(need);
}

void TorchClosedTable::growSlots(std::int64_t need) {
  std::int64_t capacity = 2 * capacity_;
  while (3 * need >= 2 * capacity) capacity *= 2;
  capacity_ = capacity;
  mask_ = at::full({1}, capacity_ - 1, mask_.options());
  slot_array_ = emptySlots(capacity_, slot_array_.options());
  slots_ = slot_array_.narrow(0, 0, capacity_);
  used_slots_ = 0;
  if (size_ == 0) return;
  // Stored hashes are reused: keys are never hashed twice. In empty slots
  // every key is new, so they are placed as a filter places its new keys,
  // with one read. Nor is a lookup needed: in an empty table every probe
  // sequence stops at its first slot.
  const at::Tensor keys = keys_.slice(0, 0, size_), hashes = hashes_.slice(0, 0, size_);
  const at::Tensor ids = at::arange(size_, hashes_.options());
  const at::Tensor all = at::ones({size_}, hashes_.options().dtype(at::kBool));
  Lookup empty_table;
  empty_table.found = at::zeros_like(all);
  empty_table.slot = homeSlot(hashes, mask_);
  empty_table.entry = at::full_like(ids, -1);
  empty_table.perturbation = hashes;
  empty_table.steps = at::zeros_like(ids);
  empty_table.capacity = capacity_;
  empty_table.probes = 1;
  empty_table.every_row_stopped = true;
  const std::int64_t placed = placeFresh(all, ids, empty_table).item<std::int64_t>();
  used_slots_ = placed;
  if (placed < size_) placeMissed(all, keys, hashes, ids);
}

void TorchClosedTable::placeEntries(const at::Tensor& keys, const at::Tensor& hashes, const at::Tensor& ids,
                                    const at::Tensor* first_slots) {
  place(normalizeKeys(keys), ownHashes(hashes), ids, first_slots);
}

void TorchClosedTable::place(const at::Tensor& keys, const at::Tensor& hashes, const at::Tensor& ids,
                             const at::Tensor* first_slots) {
  if (placeRounds(keys, hashes, ids, first_slots)) return;
  // Placing at slot -1 would overwrite the last slot. Growing re-places every
  // stored entry, the pending ones among them, so nothing is left to do here.
  if (fixed_) throw std::runtime_error(slotsExhausted(capacity_) + ": a key's probe sequence met no empty slot");
  growSlots(size_);
}

bool TorchClosedTable::placeRounds(const at::Tensor& keys, const at::Tensor& hashes, const at::Tensor& ids,
                                   const at::Tensor* first_slots) {
  const at::Tensor all_ids = ids.to(device_, at::kLong).reshape({-1});
  const std::int64_t scratch = capacity_;
  at::Tensor pending;  // the rows still to place; undefined while that is all of them
  const auto pendingRows = [&](const at::Tensor& values) {
    return pending.defined() ? values.index_select(0, pending) : values;
  };
  for (bool first = true;; first = false) {
    const at::Tensor pending_keys = pendingRows(keys), pending_hashes = pendingRows(hashes);
    const at::Tensor pending_ids = pendingRows(all_ids);
    const std::int64_t n = pending_ids.size(0);
    if (n == 0) return true;
    at::Tensor candidates;
    at::Tensor unplaceable;  // a key without an empty slot in reach, or one that seems stored
    if (first && first_slots != nullptr) {
      // Given slots are trusted only where still empty; the other keys look
      // again next round.
      unplaceable = first_slots->lt(0);
      const at::Tensor taken = slot_array_.index_select(0, first_slots->clamp_min(0)).ge(0);
      candidates = at::where(unplaceable.logical_or(taken), scratch, *first_slots);
    } else {
      // The keys are not stored, so a found one met another key of its hash;
      // the hashes alone do not place it.
      const Lookup found = find(pending_keys, pending_hashes, KeyCheck::Skip);
      unplaceable = found.found.logical_or(found.slot.lt(0));
      candidates = at::where(unplaceable, scratch, found.slot);
    }
    const at::Tensor won = claimSlots(candidates, pending_ids);
    const at::Tensor lost = won.logical_not().logical_and_(unplaceable.logical_not());
    const std::vector<std::int64_t> read =
        readCounts({{countTrue(won), n}, {countTrue(lost), n}, {anyTrue(unplaceable), n}});
    used_slots_ += read[0];
    if (read[2] != 0) {
      // A key without an empty slot in reach (the table must grow) or, rarely,
      // one that shares its hash with a stored key.
      const at::Tensor redo = unplaceable.nonzero().reshape({-1});
      if (!placeComparingKeys(pending_keys.index_select(0, redo), pending_hashes.index_select(0, redo),
                              pending_ids.index_select(0, redo))) {
        return false;
      }
    }
    if (read[1] == 0) return true;
    const at::Tensor losers = at::nonzero_static(lost, read[1]).reshape({-1});
    pending = pending.defined() ? pending.index_select(0, losers) : losers;
  }
}

bool TorchClosedTable::placeComparingKeys(const at::Tensor& keys, const at::Tensor& hashes, const at::Tensor& ids) {
  at::Tensor pending_keys = keys, pending_hashes = hashes, pending_ids = ids;
  while (pending_ids.size(0) > 0) {
    const Lookup exact = lookupComparingKeys(pending_keys, pending_hashes);
    if (exact.found.any().item<bool>()) throw std::logic_error("CLOSED was asked to insert a key it holds");
    if (exact.slot.lt(0).any().item<bool>()) return false;
    const at::Tensor lost = claimSlots(exact.slot, pending_ids).logical_not().nonzero().reshape({-1});
    used_slots_ += pending_ids.size(0) - lost.size(0);
    pending_keys = pending_keys.index_select(0, lost);
    pending_hashes = pending_hashes.index_select(0, lost);
    pending_ids = pending_ids.index_select(0, lost);
  }
  return true;
}

at::Tensor TorchClosedTable::claimSlots(const at::Tensor& candidates, const at::Tensor& ids) {
  // Empty slots read -1, below every id, so the largest id claiming one
  // replaces it; the scratch slot reads more than any id and stays unwon.
  slot_array_.scatter_reduce_(0, candidates, ids, "amax", /*include_self=*/true);
  return slot_array_.index_select(0, candidates).eq(ids);
}

at::Tensor TorchClosedTable::placeFresh(const at::Tensor& fresh, const at::Tensor& ids, const Lookup& found) {
  if (lookup_work_ == LookupWork::HostLoop) return placeFreshOnHost(fresh, ids, found);
  const std::int64_t rows = fresh.size(0);
  const std::int64_t scratch = capacity_;
  // Round one: each new key claims the first empty slot of its sequence,
  // where the lookup stopped; a stored key claims its own slot, which holds
  // its id already and which no new key claims, so that no row is masked.
  // Only a row that met no empty slot (its slot is -1) claims nothing.
  at::Tensor won, lost;
  if (found.every_row_stopped) {
    won = claimSlots(found.slot, ids);
    lost = won.logical_not();
  } else {
    const at::Tensor reachable = found.slot.ge(0);
    won = claimSlots(at::where(reachable, found.slot, scratch), ids);
    lost = reachable.gt(won);
  }
  std::vector<at::Tensor> wins{won};  // every round's winners, counted once at the end
  // Later rounds: the keys that lost a slot to a larger id probe on from it
  // for one block and claim again. Keys meet in a slot about as often as
  // random keys share one of the free slots, so the host expects how many
  // lose each round; a round runs while more than a fraction of a key is
  // expected to, with room for six standard deviations more (the count is
  // about Poisson). What remains, rarely, is placeMissed()'s. Padding rows
  // (-1) claim nothing.
  const double free_slots = static_cast<double>(capacity_ - used_slots_);
  const auto expectedLosers = [&](double keys) { return keys - free_slots * -std::expm1(-keys / free_slots); };
  at::Tensor from_ids = ids, slot = found.slot, perturbation = found.perturbation, steps = found.steps;
  const std::int64_t count = std::min(kLoserProbes, capacity_);
  const ProbeColumns& columns = columnsFor(count);
  // The rows each round makes room for, decided before the first.
  std::vector<std::int64_t> bounds;
  for (double expected = expectedLosers(static_cast<double>(rows)); expected > kLosersWorthARound;
       expected = expectedLosers(expected)) {
    const std::int64_t room =
        std::max(kLoserRows, static_cast<std::int64_t>(std::ceil(expected + 6 * std::sqrt(expected))));
    bounds.push_back(std::min(bounds.empty() ? rows : bounds.back(), room));
  }
  // A sequence ends after capacity probes, which only a small table's rows
  // can reach here; only then are the rows' probe counts followed.
  const bool near_end = found.probes + static_cast<std::int64_t>(bounds.size()) * (count - 1) > capacity_;
  std::int64_t steps_bound = found.probes;  // every row's steps is below it
  for (std::size_t round = 0; round < bounds.size(); ++round) {
    const std::int64_t bound = bounds[round];
    const at::Tensor losers = at::nonzero_static(lost, bound, /*fill_value=*/-1).reshape({-1});
    const at::Tensor from = losers.clamp_min(0);
    const ProbeBlock next = probeBlock(scheme_, slot.index_select(0, from), perturbation.index_select(0, from), mask_,
                                       columns, Perturbations::NonNegative);
    // Probe 0 is the slot just lost.
    at::Tensor empty = slots_.index_select(0, next.positions.view({-1})).view({count, bound}).lt(0);
    if (near_end) {
      steps = steps.index_select(0, from);
      if (steps_bound + count - 1 > capacity_) {
        empty.logical_and_(columns.steps.narrow(0, 0, count).unsqueeze(1).lt((capacity_ - steps).unsqueeze(0)));
      }
    }
    // A row without an empty probe claims probe 0, the slot it lost, again:
    // the larger id there keeps it, and the row, losing again, is left to
    // placeMissed() (later rounds probe the same block).
    const at::Tensor first = std::get<1>(empty.max(0, /*keepdim=*/true));  // the first empty probe
    const at::Tensor claiming = losers.ge(0);
    slot = next.positions.gather(0, first).squeeze(0);
    from_ids = from_ids.index_select(0, from);
    won = claimSlots(at::where(claiming, slot, scratch), from_ids);
    wins.push_back(won);
    if (round + 1 == bounds.size()) break;  // the rest is for the next round
    lost = claiming.gt(won);                // padding rows claim nothing
    perturbation = next.perturbations.gather(0, first).squeeze(0);
    if (near_end) steps = steps + first.squeeze(0);
    steps_bound += count - 1;
  }
  return countTrue(at::cat(wins));
}

at::Tensor TorchClosedTable::placeFreshOnHost(const at::Tensor& fresh, const at::Tensor& ids, const Lookup& found) {
  const at::Tensor dense_fresh = fresh.contiguous(), dense_ids = ids.contiguous();
  const at::Tensor slot = found.slot.contiguous(), perturbation = found.perturbation.contiguous();
  const at::Tensor steps = found.steps.contiguous();
  const std::int64_t rows = fresh.size(0);
  const std::int64_t placed = placeOnHost(
      slots_.data_ptr<std::int64_t>(), capacity_, scheme_, dense_fresh.data_ptr<bool>(),
      dense_ids.data_ptr<std::int64_t>(),
      {slot.data_ptr<std::int64_t>(), perturbation.data_ptr<std::int64_t>(), steps.data_ptr<std::int64_t>()}, rows);
  // The stored rows hold their slots already.
  const std::int64_t stored = rows - countTrue(dense_fresh).item<std::int64_t>();
  return at::scalar_tensor(stored + placed, ids.options().dtype(at::kLong));
}

void TorchClosedTable::placeMissed(const at::Tensor& fresh, const at::Tensor& keys, const at::Tensor& hashes,
                                   const at::Tensor& ids) {
  // The entries that hold a slot, marked in one pass over the slots (an
  // empty slot marks a spare row past the entries): after a growth that is
  // every entry, far cheaper than looking each one up.
  const at::Tensor held = at::zeros({entry_capacity_ + 1}, ids.options().dtype(at::kBool));
  held.index_fill_(0, at::where(slots_.lt(0), entry_capacity_, slots_), true);
  const at::Tensor missed = fresh.logical_and(held.index_select(0, ids).logical_not()).nonzero().reshape({-1});
  place(keys.index_select(0, missed), hashes.index_select(0, missed), ids.index_select(0, missed));
}

void TorchClosedTable::ensureEntryRows(std::int64_t need) {
  if (need <= entry_capacity_) return;
  if (fixed_) {
    throw std::runtime_error("fixed CLOSED entry capacity exhausted at capacity=" + std::to_string(entry_capacity_));
  }
  std::int64_t capacity = 2 * entry_capacity_;
  while (capacity < need) capacity *= 2;
  const auto grow = [&](at::Tensor& rows, at::IntArrayRef shape) {
    at::Tensor grown = at::empty(shape, rows.options());
    grown.slice(0, 0, size_).copy_(rows.slice(0, 0, size_));
    rows = std::move(grown);
  };
  grow(keys_, {capacity, key_width_});
  grow(costs_, {capacity});
  grow(hashes_, {capacity});
  entry_capacity_ = capacity;
}

at::Tensor TorchClosedTable::insert(const at::Tensor& keys, const at::Tensor& costs, const at::Tensor& hashes,
                                    const Lookup& lookup, const std::optional<at::Tensor>& update) {
  const at::Tensor rows_keys = normalizeKeys(keys);
  const at::Tensor rows_costs = costs.to(device_, cost_dtype_).reshape({-1});
  const at::Tensor rows_hashes = ownHashes(hashes);
  const at::Tensor found = lookup.found.to(device_, at::kBool);

  // Only stored keys have an entry to update: a row without one would index
  // entry -1, the last row. One read tells how many rows of each kind.
  const at::Tensor to_update = update ? update->to(device_, at::kBool) & found : found;
  const std::int64_t rows = found.size(0);
  const std::vector<std::int64_t> read =
      readCounts({{countTrue(to_update), rows}, {countTrue(found.logical_not()), rows}});
  return insertCounted(rows_keys, rows_costs, rows_hashes, lookup, to_update, read[0], read[1]);
}

at::Tensor TorchClosedTable::insertCounted(const at::Tensor& rows_keys, const at::Tensor& rows_costs,
                                           const at::Tensor& rows_hashes, const Lookup& lookup,
                                           const at::Tensor& to_update, std::int64_t update_count,
                                           std::int64_t fresh_count) {
  const at::Tensor not_found = lookup.found.to(device_, at::kBool).logical_not();
  at::Tensor result = lookup.entry.to(device_, at::kLong).clone();
  if (update_count > 0) {
    const at::Tensor updated = at::nonzero_static(to_update, update_count).reshape({-1});
    costs_.index_copy_(0, result.index_select(0, updated), rows_costs.index_select(0, updated));
  }
  if (fresh_count == 0) return result;
  const std::int64_t count = fresh_count;
  const at::Tensor fresh = at::nonzero_static(not_found, count).reshape({-1});
  ensureEntryRows(size_ + count);

  const at::Tensor ids = at::arange(size_, size_ + count, result.options());
  const at::Tensor fresh_keys = rows_keys.index_select(0, fresh);
  const at::Tensor fresh_hashes = rows_hashes.index_select(0, fresh);
  keys_.slice(0, size_, size_ + count).copy_(fresh_keys);
  costs_.slice(0, size_, size_ + count).copy_(rows_costs.index_select(0, fresh));
  hashes_.slice(0, size_, size_ + count).copy_(fresh_hashes);
  result.index_copy_(0, fresh, ids);
  // Counted before placing: a table that grows while placing them re-places
  // entries [0, size) and so must already include these.
  size_ += count;
  // The lookup's slot of a key it did not find is the first empty slot of
  // the key's probe sequence, where placing starts, unless the table has
  // grown since (growing above re-placed every entry anyway).
  if (lookup.capacity != capacity_) {
    place(fresh_keys, fresh_hashes, ids);
    return result;
  }
  const at::Tensor first_slots = lookup.slot.to(device_, at::kLong).reshape({-1}).index_select(0, fresh);
  place(fresh_keys, fresh_hashes, ids, &first_slots);
  return result;
}

TorchClosedTable::Filtered TorchClosedTable::filter(const at::Tensor& children, const at::Tensor& child_costs,
                                                    Keep keep) {
  const at::Tensor keys = normalizeKeys(children);
  const std::int64_t rows = keys.size(0);
  const at::TensorOptions longs = at::TensorOptions().dtype(at::kLong).device(device_);
  if (rows == 0) return {at::zeros({0}, longs.dtype(at::kBool)), at::zeros({0}, longs)};
  const at::Tensor costs = child_costs.to(device_, cost_dtype_).reshape({-1});
  if (costs.size(0) != rows) throw std::invalid_argument("Expected one cost per child");

  const Groups groups = dedupeBatch(keys, hashKeys(keys));
  const std::int64_t unique = groups.keys.size(0);
  reserve(used_slots_ + unique);
  ensureEntryRows(size_ + unique);
  const Lookup found = find(groups.keys, groups.hashes, KeyCheck::Compare);
  const at::Tensor fresh = found.found.logical_not();
  const FilterDecision decision = decide(groups, costs, found, fresh);

  // Every state of the batch writes its entry, a stored one the same key and
  // hash again: no count is needed first. New states are numbered on from
  // size() in batch order.
  const at::Tensor fresh_before = fresh.cumsum(0, at::kLong);  // through each row; the last counts them
  const at::Tensor ids = at::where(fresh, fresh_before.add(size_ - 1), found.entry);
  keys_.index_copy_(0, ids, groups.keys);
  hashes_.index_copy_(0, ids, groups.hashes);
  costs_.index_copy_(0, ids, decision.costs);
  const at::Tensor placed = placeFresh(fresh, ids, found);  // stored states included
  const at::Tensor kept = countTrue(keep == Keep::Accepted ? decision.accept : decision.improved);
  const std::vector<std::int64_t> read =
      readCounts({{fresh_before.select(0, -1), unique}, {placed, unique}, {kept, rows}});
  const std::int64_t fresh_count = read[0], fresh_placed = read[1] - (unique - fresh_count);
  size_ += fresh_count;
  used_slots_ += fresh_placed;
  if (fresh_placed < fresh_count) placeMissed(fresh, groups.keys, groups.hashes, ids);
  const at::Tensor child_entries = groups.identity ? ids : ids.index_select(0, groups.group);
  at::Tensor kept_rows = decision.accept;
  if (keep == Keep::CheapestPerState && decision.cheapest.defined()) {
    kept_rows = at::zeros_like(decision.accept).index_copy_(0, decision.cheapest, decision.improved);
  }
  return {decision.accept, at::where(decision.accept, child_entries, -1), kept_rows, read[2]};
}

TorchClosedTable::FilterDecision TorchClosedTable::decide(const Groups& groups, const at::Tensor& costs,
                                                          const Lookup& found, const at::Tensor& fresh) const {
  const std::int64_t rows = costs.size(0);
  // Entry rows past size() are uninitialised, but only found rows read them.
  const at::Tensor stored = costs_.index_select(0, found.entryRows()).masked_fill_(fresh, unreachedCost(cost_dtype_));
  if (groups.identity) {
    const at::Tensor accept = costs < stored;
    return {accept, at::where(accept.logical_or(fresh), costs, stored), accept, at::Tensor()};
  }

  // A child is accepted when it costs less than its state's stored cost and
  // than every earlier child of its state: when it is a record of its state.
  // `order` runs the children state by state, and `cheapest` points, per
  // state, at the position in `order` of its cheapest child (the first in
  // batch order on equal cost).
  const std::int64_t states = groups.hashes.size(0);
  at::Tensor order, order_states, ordered_costs, record, cheapest;
  at::Tensor grouped_costs;
  std::optional<at::Tensor> bits;  // costs of up to 32 bits, along the grouping
  if (costs.element_size() <= 4 && rows < (std::int64_t{1} << 31)) {
    grouped_costs = costs.index_select(0, groups.order);
    bits = orderedCostBits(grouped_costs);
  }
  if (bits) {
    // Along the batch's grouping (batch order within a state) a child is a
    // record when its cost is below the running minimum of its state's
    // earlier children. The key is the cost's 32 bits less the state times
    // 2^32, so that keys fall from state to state.
    order = groups.order, order_states = groups.order_groups, ordered_costs = grouped_costs;
    const at::Tensor key = at::add(*bits, order_states, -(std::int64_t{1} << 32));
    record = recordsOfRuns(key);
    // Records of a state get strictly cheaper: its last is its cheapest child.
    const at::Tensor positions = at::arange(rows, order.options());
    cheapest = at::full({states}, -1, order.options())
                   .scatter_reduce_(0, order_states, at::where(record, positions, -1), "amax", /*include_self=*/true);
  } else {
    // Ordered by (state, cost, batch position), the children costing at most
    // as much as a child are those before it (plus later-positioned equal
    // ones, which do not matter), so it is a record when its position is
    // below every position before it in its state's run; each run starts
    // with its cheapest child. The keys are positions offset per state, so
    // they stay exact whatever the magnitude of the costs.
    const at::Tensor by_cost = std::get<1>(stableSort(costs));
    at::Tensor within;
    std::tie(order_states, within) = stableSort(groups.group.index_select(0, by_cost));
    order = by_cost.index_select(0, within);
    ordered_costs = costs.index_select(0, order);
    const at::Tensor starts = runStarts(order_states);
    record = recordsOfRuns(order - order_states * rows);
    cheapest = at::nonzero_static(starts, states).reshape({-1});
  }
  const at::Tensor ordered_accept = record.logical_and_(ordered_costs < stored.index_select(0, order_states));
  const at::Tensor accept = at::empty({rows}, ordered_accept.options()).index_copy_(0, order, ordered_accept);
  // The cheapest child is accepted exactly when some child of its state is
  // (a NaN child is the cheapest only when all its state's children are NaN,
  // and then none is accepted), so it tells which states improved. A
  // stored state keeps its cost unless improved; a new one takes its
  // cheapest child's, whatever it is.
  const at::Tensor improved = ordered_accept.index_select(0, cheapest);
  return {accept, at::where(improved.logical_or(fresh), ordered_costs.index_select(0, cheapest), stored), improved,
          order.index_select(0, cheapest)};
}

}  // namespace kestrel
