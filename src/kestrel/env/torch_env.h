#pragma once

// The tensor solver's view of a puzzle domain: batches of states held as
// device tensors. Plugins subclass it and register a factory
// (kestrel/env/registrar.h).
//
// Both the data members and the order of the virtual functions are a binary
// interface shared with separately built plugins; the layout is pinned below.
//
// Shapes, for a batch of B states of W elements and M moves:
//  - encodeState(bytes)  -> W elements (any shape; viewed as (1, W))
//  - isSolved(states)    -> bool tensor of B elements
//  - expand(states)      -> (children (B, M, W), step costs of B*M elements)
//  - networkInputs(states) -> one float32 tensor per manifest input

#include <ATen/core/Tensor.h>
#include <c10/core/ScalarType.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

class TorchEnv {
 public:
  virtual ~TorchEnv() = default;

  virtual at::Tensor encodeState(const std::vector<std::uint8_t>& state) const = 0;
  // Occupies its slot so that the operations after it keep their positions;
  // the solver never calls it.
  virtual at::Tensor decodeStates(const at::Tensor& states) const = 0;
  virtual at::Tensor isSolved(const at::Tensor& states) const = 0;
  virtual std::pair<at::Tensor, at::Tensor> expand(const at::Tensor& states) const = 0;
  // `states` may be a view into the solver's own storage, at any offset:
  // read it, never write it.
  virtual std::vector<at::Tensor> networkInputs(const at::Tensor& states) const = 0;

  std::int64_t num_moves = 0;
  std::int64_t state_width = 0;
  // Kept for layout compatibility; this system never reads or writes it.
  std::uint8_t reserved_[2] = {0, 0};
  // The solver overwrites this with its node-state dtype right after creation.
  c10::ScalarType state_dtype = c10::ScalarType::Byte;
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(sizeof(c10::ScalarType) == 1, "state_dtype must be one byte");
static_assert(offsetof(TorchEnv, num_moves) == 8, "TorchEnv layout: num_moves follows the vtable pointer");
static_assert(offsetof(TorchEnv, state_width) == 16, "TorchEnv layout: state_width");
static_assert(offsetof(TorchEnv, reserved_) == 24, "TorchEnv layout: two reserved bytes");
static_assert(offsetof(TorchEnv, state_dtype) == 26, "TorchEnv layout: state_dtype");
static_assert(sizeof(TorchEnv) == 32, "TorchEnv layout: total size");
#pragma GCC diagnostic pop
