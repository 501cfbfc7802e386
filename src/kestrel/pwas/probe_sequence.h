#pragma once

// The two probe sequences of the CLOSED tables, over a power-of-two slot array
// (mask = slot count - 1). A search stops at an empty slot, an equal key, or
// after as many probes as there are slots.

#include <cstdint>

namespace kestrel {

enum class ProbeScheme { LinearProbing, PythonDict };

class ProbeSequence {
 public:
  ProbeSequence(ProbeScheme scheme, std::uint64_t hash, std::uint64_t mask)
      : scheme_(scheme), mask_(mask), perturb_(hash), index_(hash & mask) {}

  std::uint64_t index() const { return index_; }

  void advance() {
    if (scheme_ == ProbeScheme::LinearProbing) {
      index_ = (index_ + 1) & mask_;
    } else {
      perturb_ >>= 5;
      index_ = (5 * index_ + perturb_ + 1) & mask_;
    }
  }

 private:
  ProbeScheme scheme_;
  std::uint64_t mask_;
  std::uint64_t perturb_;
  std::uint64_t index_;
};

}  // namespace kestrel
