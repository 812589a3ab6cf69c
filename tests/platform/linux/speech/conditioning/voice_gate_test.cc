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

// At 100 samples a second, in windows of 10: a pre-roll of 5 windows (18
// after a wake in one window in eight), a hangover of 5, a framing of 2.
// A script has one letter per window: 's' speech, 'S' speech in a loud
// room that does not rise above its floor, '.' a sound that rises, '_' a
// steady quiet room, 'r' the same after a reset(). The decoder hears 'p' for
// each window passed on, '-' for one left out. Fed a window per call, and in
// calls of 7 samples, which split windows.
TEST(VoiceGateTest, PassesSpeechWithItsPreRollAndHangover) {
  const std::string room(30, '_');
  struct Case {
    std::string script;
    bool detector;
    std::string heard;
    size_t detected;  // windows the detector looked at
  };
  const Case cases[] = {
      // Open from the start, as a recording may start mid-word; once the
      // detector has marked speech it hears one window in eight, and the
      // gate closes after the hangover; it sleeps 1 s after the last rise.
      {"ss" + room, true, std::string(13, 'p') + std::string(19, '-'), 2},
      // Speech after a long silence (which the detector heard whole until
      // the hangover ended): its pre-roll, widened so that what is left
      // out is whole framings, then its hangover.
      {room + "...ss" + room, true,
       std::string(5, 'p') + std::string(24, '-') + std::string(17, 'p') +
           std::string(19, '-'),
       15},
      // In loud noise nothing rises: one window in eight finds the speech,
      // and the longer pre-roll brings its start.
      {room + std::string(12, 'S') + room, true,
       std::string(5, 'p') + std::string(8, '-') + std::string(38, 'p') +
           std::string(21, '-'),
       13},
      // At the end, what was held back while the detector listened.
      {room + "..", true,
       std::string(5, 'p') + std::string(22, '-') + std::string(5, 'p'), 12},
      // A reset: what was held back is dropped, and the gate starts open.
      {room + ".r" + room, true,
       std::string(5, 'p') + std::string(26, '-') + std::string(5, 'p') +
           std::string(26, '-'),
       21},
      // Without a detector, everything.
      {room + "ss" + room, false, std::string(62, 'p'), 0},
  };
  for (const Case& c : cases) {
    for (const size_t call : {10, 7}) {
      size_t windows = 0;
      VoiceGate gate(
          100, 20,
          c.detector ? std::make_unique<MarkDetector>(&windows) : nullptr);
      // Each sample after the first tells its window.
      std::vector<float> script;
      for (size_t i = 0; i < c.script.size(); ++i) {
        script.push_back(std::string("sS").find(c.script[i]) !=
                         std::string::npos);
        script.insert(script.end(), 9, static_cast<float>(i));
      }
      std::vector<float> out;
      // A call is its first window's; none spans a reset.
      for (size_t at = 0, length = 0; at < script.size(); at += length) {
        const size_t next = c.script.find('r', at / 10 + 1);
        length = std::min({call, script.size() - at, next * 10 - at});
        const char letter = c.script[at / 10];
        if (letter == 'r' && at % 10 == 0) gate.reset();
        gate.pass(std::span(script).subspan(at, length),
                  {letter == '.' || letter == 's', letter == 'S'}, out);
      }
      gate.flush(out);
      std::string heard(c.script.size(), '-');
      for (size_t i = 0; i < out.size(); i += 10) {
        heard[static_cast<size_t>(out[i + 1])] = 'p';
        EXPECT_TRUE(i == 0 || out[i + 1] > out[i - 9]) << "out of order";
      }
      EXPECT_EQ(heard, c.heard) << c.script << ", calls of " << call;
      EXPECT_EQ(windows, c.detected) << c.script << ", calls of " << call;
    }
  }
}

}  // namespace
}  // namespace quorvel
