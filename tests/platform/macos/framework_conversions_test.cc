#include "platform/macos/framework_conversions.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quorvel {
namespace {

// Delays in bounded nanoseconds; buffers show one float array per channel
// or none; a start failure always has a reason.
TEST(FrameworkConversionsTest, DelaysBuffersAndReasons) {
  const int64_t century = 100LL * 365 * 24 * 3600 * 1000000000;
  const std::pair<double, int64_t> delays[] = {
      {0.35, 350000000}, {0.0, 0},         {-1.0, 0},
      {NAN, 0},          {1e300, century}, {INFINITY, century}};
  for (const auto& [seconds, nanoseconds] : delays)
    EXPECT_EQ(dispatchDelayNanoseconds(seconds), nanoseconds) << seconds;
  const float left[] = {0.5f}, right[] = {-0.5f};
  const float* const planar[] = {left, right};
  const int native = 0;
  const std::tuple<const float* const*, uint32_t, bool, size_t> buffers[] = {
      {planar, 2, false, 2},    // the input node's usual format
      {planar, 1, true, 1},     // mono: interleaved is planar
      {planar, 2, true, 0},     // one array for two channels
      {nullptr, 2, false, 0}};  // not 32-bit float
  for (const auto& [data, channels, interleaved, shown] : buffers) {
    const AudioBuffer buffer =
        pcmBufferView(512, data, channels, interleaved, 48000.0, &native);
    ASSERT_EQ(buffer.channels.size(), shown);
    EXPECT_TRUE(!shown || buffer.channels[0] == left);
    EXPECT_EQ(buffer.frameLength, 512u);
    EXPECT_EQ(buffer.sampleRate, 48000.0);
    EXPECT_EQ(buffer.native, &native);
  }
  EXPECT_EQ(startFailureReason(""), "unknown error");
  EXPECT_EQ(startFailureReason("It failed."), "It failed.");
}

}  // namespace
}  // namespace quorvel
