#pragma once

// Sort keys for the tensor solver: values turned into integers that sort the
// same way, so that a value and a tie-breaker can share one int64 key and one
// sort (or top-k) replaces several.

#include <ATen/core/Tensor.h>

#include <optional>
#include <tuple>

#include "kestrel/export.h"

namespace kestrel {

// Values of at most 32 bits (float32, float16, bfloat16 and the integer
// types up to int32) as integers in the same order, with a float's two
// zeros made one and every NaN the largest value, as a stable sort sees
// them; none for wider values. The integers have the values' own width (the
// integer types are returned as they are) and fit in 32 signed bits, so that
// widened to int64 they can be shifted above a 32-bit tie-breaker.
KESTREL_EXPORT std::optional<at::Tensor> orderedCostBits(const at::Tensor& cost);

// The values of a 1-D tensor sorted ascending, stably, and the positions
// they came from.
KESTREL_EXPORT std::tuple<at::Tensor, at::Tensor> stableSort(const at::Tensor& values);

}  // namespace kestrel
