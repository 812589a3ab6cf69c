#include "platform/linux/speech/conditioning/mono_resampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace quorvel {
namespace {

// One second from a stereo microphone at each rate, in 10 ms chunks: a
// 1 kHz tone (at 8 kHz, 500 Hz) that starts at 0.5 s. The decoder gets
// exactly a second at 16 kHz, the tone at its level, where it was, and
// never more than 5 ms after the microphone delivered it.
TEST(MonoResamplerTest, ConvertsEveryRateWithoutDelay) {
  for (const double rate : {8000.0, 16000.0, 32000.0, 44100.0, 48000.0}) {
    const double tone = rate == 8000 ? 500 : 1000;
    MonoResampler resampler(16000);
    std::vector<float> out;
    double lagSeconds = 0;
    const size_t chunkFrames = static_cast<size_t>(rate / 100);
    for (size_t at = 0; at < rate; at += chunkFrames) {
      AudioChunk chunk{rate, 2, static_cast<uint32_t>(chunkFrames), {}, at};
      chunk.samples.resize(2 * chunkFrames);
      for (size_t i = 0; i < chunkFrames; ++i) {
        const double t = static_cast<double>(at + i) / rate;
        chunk.samples[i] = chunk.samples[chunkFrames + i] =
            t < 0.5 ? 0.0f
                    : static_cast<float>(
                          0.5 * std::sin(2 * std::numbers::pi * tone * t));
      }
      ASSERT_EQ(resampler.convert(chunk, out), "");
      lagSeconds =
          std::max(lagSeconds, static_cast<double>(at + chunkFrames) / rate -
                                   static_cast<double>(out.size()) / 16000);
    }
    ASSERT_EQ(resampler.flush(out), "");
    EXPECT_EQ(out.size(), 16000u) << rate;
    EXPECT_LE(lagSeconds, 0.005 + 1e-9) << rate;
    // The tone's RMS, 0.5 / sqrt 2, in its middle; nothing before it.
    double energy = 0, before = 0;
    for (size_t i = 10000; i < 14000; ++i) energy += double{out[i]} * out[i];
    for (size_t i = 0; i < 7900; ++i)
      before = std::max(before, std::abs(double{out[i]}));
    EXPECT_NEAR(10 * std::log10(energy / 4000),
                20 * std::log10(0.5 / std::numbers::sqrt2), 0.1)
        << rate;
    EXPECT_LT(before, 0.01) << rate;
  }
}

}  // namespace
}  // namespace quorvel
