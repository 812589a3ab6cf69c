#include "platform/macos/framework_conversions.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quorvel {
namespace {

// A NaN delay must not reach the integer conversion, where it is undefined.
TEST(FrameworkConversionsTest, NaNDelayIsNoDelay) {
  EXPECT_EQ(dispatchDelayNanoseconds(NAN), 0);
}

// An interleaved stereo buffer has one array for both channels: showing it
// as two would hand the tap the right channel's samples as the left's.
TEST(FrameworkConversionsTest, OneInterleavedArrayShowsNoChannels) {
  const float left[] = {0.5f}, right[] = {-0.5f};
  const float* const arrays[] = {left, right};
  for (const bool interleaved : {false, true}) {
    const AudioBuffer buffer =
        pcmBufferView(1, arrays, 2, interleaved, 48000.0, nullptr);
    EXPECT_EQ(buffer.channels.size(), interleaved ? 0u : 2u);
  }
}

}  // namespace
}  // namespace quorvel
