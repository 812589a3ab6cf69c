#include "platform/linux/speech/conditioning/voice_gate.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvel {
namespace {

// Hears speech in a window whose first sample is 1; counts its windows.
struct MarkDetector : VoiceDetector {
  explicit MarkDetector(size_t* windows) : windows(windows) {}
  size_t windowLength() const override { return 10; }
  bool detect(std::span<const float> window) override {
    ++*windows;
    return window[0] == 1.0f;
  }
  void reset() override {}
  size_t* windows;
};

// At 100 samples a second, in windows of 10: a pre-roll of 5 windows, a
// hangover of 5, a framing of 2. A script has one letter per window: 's'
// speech, '.' a sound that rises above the floor, '_' a steady room. The
// decoder's hears 'p' for each window passed on, '-' for one left out.
TEST(VoiceGateTest, PassesSpeechWithItsPreRollAndHangover) {
  const std::string room(30, '_');
  struct Case {
    std::string script;
    bool detector;
    std::string heard;
    size_t detected;  // windows the detector looked at
  };
  const Case cases[] = {
      // Open from the start, as a recording may start mid-word; while open
      // the detector hears one window in eight, and the gate closes after
      // the hangover; the detector sleeps 1 s after the last rise.
      {"ss" + room, true, std::string(12, 'p') + std::string(20, '-'), 1},
      // Speech after a long silence: its pre-roll, widened so that what
      // is left out is whole framings, then its hangover.
      {room + "...ss" + room, true,
       std::string(12, 'p') + std::string(16, '-') + std::string(18, 'p') +
           std::string(19, '-'),
       6},
      // At the end, what was held back while the detector listened.
      {room + "..", true,
       std::string(12, 'p') + std::string(14, '-') + std::string(6, 'p'), 3},
      // Without a detector, everything.
      {room + "ss" + room, false, std::string(62, 'p'), 0},
  };
  for (const Case& c : cases) {
    size_t windows = 0;
    VoiceGate gate(
        100, 20,
        c.detector ? std::make_unique<MarkDetector>(&windows) : nullptr);
    std::vector<float> out;
    for (size_t i = 0; i < c.script.size(); ++i) {
      // Each sample after the first tells its window.
      std::vector<float> window(10, static_cast<float>(i));
      window[0] = c.script[i] == 's' ? 1.0f : 0.0f;
      gate.pass(window, c.script[i] != '_', out);
    }
    gate.flush(out);
    std::string heard(c.script.size(), '-');
    for (size_t i = 0; i < out.size(); i += 10) {
      heard[static_cast<size_t>(out[i + 1])] = 'p';
      EXPECT_TRUE(i == 0 || out[i + 1] > out[i - 9]) << "out of order";
    }
    EXPECT_EQ(heard, c.heard) << c.script;
    EXPECT_EQ(windows, c.detected) << c.script;
  }
}

}  // namespace
}  // namespace quorvel
