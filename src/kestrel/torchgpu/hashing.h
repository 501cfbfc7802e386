#pragma once

// Hash mixing on int64 tensors, whose right shift is arithmetic:
// the logical shift clears the copied sign bits. All arithmetic wraps modulo
// 2^64, as on unsigned 64-bit integers.

#include <ATen/core/Tensor.h>

#include "kestrel/export.h"

namespace kestrel {

// z >>> bits for 0 < bits < 32, element-wise, as if z were unsigned.
KESTREL_EXPORT at::Tensor logicalShiftRight(const at::Tensor& z, int bits);

// The SplitMix64 output function, element-wise:
//   z += 0x9E3779B97F4A7C15; z = (z ^ z >>> 30) * 0xBF58476D1CE4E5B9;
//   z = (z ^ z >>> 27) * 0x94D049BB133111EB; z ^ z >>> 31.
KESTREL_EXPORT at::Tensor splitMix64(const at::Tensor& z);

// A shorter finaliser, for values that are already sums of pseudo-random
// multiples: z = (z ^ z >>> 31) * 0xBF58476D1CE4E5B9; z ^ z >> 29, the last
// shift arithmetic. That shift copies the sign bit into the top 29 bits, so
// the sign bit of the result is always clear: the values are non-negative,
// of 63 bits, and may be shifted arithmetically as if unsigned. Through bit
// 34 the result is the logical version's, in which every input bit reaches
// every output bit from bit 3 up (the three lowest miss a few of the top
// input bits), so the low bits that choose a table slot mix the whole
// value. Six operations where SplitMix64 takes eleven.
KESTREL_EXPORT at::Tensor shortMix63(const at::Tensor& z);

}  // namespace kestrel
