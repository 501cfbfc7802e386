#pragma once

// Counting the true elements of a mask on the solve's device, and reading
// several counts on the host at once.

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "kestrel/export.h"

namespace kestrel {

// How many elements of a bool tensor are true, as an int64 0-dim tensor. On
// the host, one operation (a sum widens the mask and fills its result first).
KESTREL_EXPORT at::Tensor countTrue(const at::Tensor& mask);

// Non-zero exactly when some element of a bool tensor is true, in one
// operation on each device: a count of at most mask.numel() on the host
// (whose `any` fills its result first), a bool elsewhere.
KESTREL_EXPORT at::Tensor anyTrue(const at::Tensor& mask);

// A 0-dim count on the device, and the most it can be.
struct DeviceCount {
  at::Tensor value;
  std::int64_t limit = 0;
};

// The counts' values on the host, in one transfer when their limits fit
// 62 bits together (one transfer each otherwise).
KESTREL_EXPORT std::vector<std::int64_t> readCounts(std::initializer_list<DeviceCount> counts);

}  // namespace kestrel
