#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "kestrel/pwas/streaming_copy.h"

namespace kestrel {
namespace {

// Every length around the four-float stores, at every alignment of the
// destination: each float lands once, in its place, and nothing beyond the
// copied range changes.
TEST(StreamingCopy, CopiesEveryFloatAtEveryAlignmentAndLength) {
  std::vector<float> source(40);
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = 0.5f + static_cast<float>(i);
  for (std::size_t offset = 0; offset < 4; ++offset) {
    for (std::size_t count = 0; count <= 13; ++count) {
      alignas(16) float destination[24];
      for (float& value : destination) value = -1.0f;
      streamingCopy(destination + offset, source.data() + 3, count);
      finishStreamingCopies();
      for (std::size_t i = 0; i < 24; ++i) {
        const bool copied = i >= offset && i < offset + count;
        EXPECT_EQ(destination[i], copied ? source[3 + i - offset] : -1.0f)
            << "offset " << offset << " count " << count << " index " << i;
      }
    }
  }
}

}  // namespace
}  // namespace kestrel
