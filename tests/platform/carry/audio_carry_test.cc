#include "platform/carry/audio_carry.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

// What a cut request leaves to the next (the macOS recogniser's carry):
// four seconds heard, of which the history keeps the last three, and the
// audio after the text's end, cut inside a buffer where it ends there.
TEST(AudioHistoryTest, LeavesTheAudioAfterTheText) {
  const std::tuple<std::optional<double>, uint64_t, uint64_t> cases[] = {
      {std::nullopt, 0, 0},  // a text of unknown extent: nothing
      {0.0, 1000, 3000},     // no text: all that is kept
      {2.5, 2500, 1500},
      {5.0, 0, 0}};
  for (const auto& [heard, from, frames] : cases) {
    AudioHistory history;
    std::vector<float> samples(1000);
    const float* channels[] = {samples.data()};
    for (uint64_t second = 0; second < 4; ++second) {
      samples.assign(1000, static_cast<float>(second));
      history.add({1000, channels, 1000, nullptr, second * 1000});
    }
    uint64_t total = 0, first = 0;
    for (const AudioChunk& chunk : history.takeAfter(heard)) {
      EXPECT_EQ(chunk.samples.front(), chunk.position / 1000);
      EXPECT_EQ(chunk.samples.size(), chunk.frames);
      if (total == 0) first = chunk.position;
      total += chunk.frames;
    }
    EXPECT_EQ(total, frames) << heard.value_or(-1);
    EXPECT_EQ(first, from) << heard.value_or(-1);
    EXPECT_TRUE(history.takeAfter(0.0).empty());
  }
}

}  // namespace
}  // namespace quorvel
