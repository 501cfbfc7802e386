#pragma once

// Copies floats to memory that is read once, later, by someone else: the
// network's input rows. The stores go around the cache, so writing an
// iteration's rows neither reads each line of the destination first nor
// evicts the CLOSED slots, nodes and OPEN entries that the iteration is
// working on. Call finishStreamingCopies() before anything reads what was
// copied: streaming stores are not ordered with later ordinary accesses
// from other threads until then.

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE__)
#include <immintrin.h>
#endif

namespace kestrel {

inline void streamingCopy(float* destination, const float* source, std::size_t count) {
#if defined(__SSE__)
  std::size_t i = 0;
  // Streaming stores of four floats need a 16-byte aligned destination.
  for (; i < count && (reinterpret_cast<std::uintptr_t>(destination + i) & 15) != 0; ++i) destination[i] = source[i];
  for (; i + 4 <= count; i += 4) _mm_stream_ps(destination + i, _mm_loadu_ps(source + i));
  for (; i < count; ++i) destination[i] = source[i];
#else
  std::memcpy(destination, source, count * sizeof(float));
#endif
}

inline void finishStreamingCopies() {
#if defined(__SSE__)
  _mm_sfence();
#endif
}

}  // namespace kestrel
