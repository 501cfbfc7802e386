#pragma once

// The two probe sequences of the CLOSED tables, over a power-of-two slot array
// (mask = slot count - 1). Each is a small policy written once for both
// tables: the host table steps one std::uint64_t at a time, the tensor table
// steps a whole batch of int64 rows. `shiftRight` is the logical right shift
// of the value type (for signed int64 tensors it must be built by hand).
// A search stops at an empty slot, an equal key, or after as many probes as
// there are slots.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kestrel {

enum class ProbeScheme { LinearProbing, PythonDict };

inline constexpr const char* kHashtableAlgorithmMessage =
    "hashtable_algorithm must be 'linear_probing' or 'python_dict'";

// "linear_probing" or "python_dict"; anything else throws std::invalid_argument.
inline ProbeScheme probeSchemeFromName(const std::string& name) {
  if (name == "linear_probing") return ProbeScheme::LinearProbing;
  if (name == "python_dict") return ProbeScheme::PythonDict;
  throw std::invalid_argument(kHashtableAlgorithmMessage);
}

// The first slot of a key: its hash's low bits. The perturbation value of
// "python_dict" starts as the hash itself.
template <class Value>
Value homeSlot(const Value& hash, const Value& mask) {
  return hash & mask;
}

// Next slot: the following one.
struct LinearProbing {
  template <class Value, class ShiftRight>
  static Value next(const Value& slot, Value& /*perturbation*/, const Value& mask, ShiftRight /*shiftRight*/) {
    return (slot + 1) & mask;
  }
};

// Next slot: perturbation >>>= 5, then slot * 5 + 1 + perturbation, so that
// every bit of the hash takes part in a few probes.
struct PythonDictProbing {
  static constexpr int kPerturbationShift = 5;

  template <class Value, class ShiftRight>
  static Value next(const Value& slot, Value& perturbation, const Value& mask, ShiftRight shiftRight) {
    perturbation = shiftRight(perturbation, kPerturbationShift);
    return (slot * 5 + 1 + perturbation) & mask;
  }
};

// One key's probe sequence in the host table.
class ProbeSequence {
 public:
  ProbeSequence(ProbeScheme scheme, std::uint64_t hash, std::uint64_t mask)
      : ProbeSequence(scheme, homeSlot(hash, mask), hash, mask) {}

  // The sequence taken up where an earlier walk stopped: at slot `index`, with
  // the perturbation it had there.
  static ProbeSequence resumedAt(ProbeScheme scheme, std::uint64_t index, std::uint64_t perturbation,
                                 std::uint64_t mask) {
    return ProbeSequence(scheme, index, perturbation, mask);
  }

  std::uint64_t index() const { return index_; }
  std::uint64_t perturbation() const { return perturbation_; }

  void advance() {
    index_ = scheme_ == ProbeScheme::LinearProbing ? LinearProbing::next(index_, perturbation_, mask_, shiftRight)
                                                   : PythonDictProbing::next(index_, perturbation_, mask_, shiftRight);
  }

 private:
  ProbeSequence(ProbeScheme scheme, std::uint64_t index, std::uint64_t perturbation, std::uint64_t mask)
      : scheme_(scheme), mask_(mask), perturbation_(perturbation), index_(index) {}

  static std::uint64_t shiftRight(std::uint64_t value, int bits) { return value >> bits; }

  ProbeScheme scheme_;
  std::uint64_t mask_;
  std::uint64_t perturbation_;
  std::uint64_t index_;
};

}  // namespace kestrel
