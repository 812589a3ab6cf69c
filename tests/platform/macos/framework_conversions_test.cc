#include "platform/macos/framework_conversions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace quorvel {
namespace {

TEST(FrameworkConversionsTest, DispatchDelaysAreBoundedNanoseconds) {
  constexpr int64_t century = 100LL * 365 * 24 * 3600 * 1000000000;
  const std::pair<double, int64_t> cases[] = {
      {0.35, 350000000},
      {12.0, 12000000000},
      {0.0, 0},
      {-1.0, 0},
      {std::nan(""), 0},
      {1e300, century},
      {std::numeric_limits<double>::infinity(), century},
  };
  for (const auto& [seconds, nanoseconds] : cases) {
    EXPECT_EQ(dispatchDelayNanoseconds(seconds), nanoseconds) << seconds;
  }
}

TEST(FrameworkConversionsTest, BuffersShowOneFloatArrayPerChannelOrNone) {
  const float left[] = {0.5f}, right[] = {-0.5f};
  const float* const planar[] = {left, right};
  const int native = 0;
  struct Case {
    const float* const* data;
    uint32_t channelCount;
    bool interleaved;
    size_t channelsShown;
  };
  const Case cases[] = {
      {planar, 2, false, 2},   // the input node's usual format
      {planar, 1, true, 1},    // mono: interleaved is planar
      {planar, 2, true, 0},    // one array for two channels
      {nullptr, 2, false, 0},  // not 32-bit float
  };
  for (const Case& c : cases) {
    const AudioBuffer buffer = pcmBufferView(512, c.data, c.channelCount,
                                             c.interleaved, 48000.0, &native);
    EXPECT_EQ(buffer.channels.size(), c.channelsShown);
    if (c.channelsShown > 0) {
      EXPECT_EQ(buffer.channels[0], left);
    }
    EXPECT_EQ(buffer.frameLength, 512u);
    EXPECT_EQ(buffer.sampleRate, 48000.0);
    EXPECT_EQ(buffer.native, &native);
  }
}

TEST(FrameworkConversionsTest, StartFailureReasonIsNeverEmpty) {
  EXPECT_EQ(startFailureReason(""), "unknown error");
  EXPECT_EQ(startFailureReason("The operation couldn’t be completed."),
            "The operation couldn’t be completed.");
}

}  // namespace
}  // namespace quorvel
