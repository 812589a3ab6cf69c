// A streaming gain that brings speech to the level the recognition models
// were trained on, however far the user sits from the microphone. A 100 Hz
// high-pass comes first: hum, rumble and a DC offset never reach the
// decoder, and what the levels are measured on is what the gain is applied
// to. It learns the speech level only from frames well above a tracked
// noise floor, so silence and steady noise never teach it anything; until
// it has heard speech it applies no gain, and it never lifts the noise
// floor above noiseCeilingDb. The high-pass delays speech by under 2 ms.
// Used by one decoding thread at a time.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_CONDITIONING_SPEECH_GAIN_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_CONDITIONING_SPEECH_GAIN_H_

#include <array>
#include <cstddef>
#include <span>
#include <utility>

namespace quorvel {

class SpeechGain {
 public:
  // The active speech level quieter speech is brought to, in dBFS (the RMS
  // of the speech frames): speech this loud or louder the models hear at
  // their best, and it passes untouched.
  static constexpr double targetLevelDb = -30.0;
  // The most the gain raises quiet speech; louder speech than the target
  // is never lowered, only kept below full scale.
  static constexpr double maxGainDb = 36.0;
  // How high the gain may lift the noise between words, in dBFS: quiet
  // speech in a noisy room is raised less than to the target.
  static constexpr double noiseCeilingDb = -45.0;

  // The samples to come are mono at sampleRate hertz.
  explicit SpeechGain(double sampleRate);

  // Filters samples and applies the gain in place, learning from them as
  // they pass; a peak the gain would carry beyond full scale lowers it at
  // at once, so that nothing is clipped.
  void process(std::span<float> samples);
  // A new recording, perhaps in another room: forgets the noise floor,
  // keeps the speech level.
  void reset();
  // The gain the levels heard so far call for, in dB (0 until speech has
  // been heard); the applied gain follows it within about 50 ms.
  double gainDb() const { return wantedDb; }
  // Whether a frame rose well above the noise floor since the last call:
  // something that may be speech. Steady noise and silence never rise.
  bool takeRise() { return std::exchange(rose, false); }
  // Whether the noise floor is at or above -60 dBFS, where speech may not
  // rise above it.
  bool loudRoom() const { return noiseFloorDb >= -60.0; }

 private:
  void endFrame(double meanSquare);
  void endSteadyBlock(double meanSquare);

  const size_t frameLength;  // samples in 10 ms
  const double smoothing;    // per sample, of the applied gain
  // The 100 Hz high-pass biquad.
  double b0 = 0, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
  double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
  double frameEnergy = 0;  // sum of squares of the frame so far, filtered
  size_t frameFill = 0;

  // The noise floor: the quietest frame of the last 1.5 s, kept as the
  // minima of six blocks of 25 frames (dBFS).
  std::array<double, 6> blockMinima;
  size_t block = 0;
  size_t blockFill = 0;
  double noiseFloorDb = 0;
  size_t sinceReset = 0;  // frames; the floor is unknown for a block

  // Noise that switches on: the levels of the last 0.3 s in blocks of
  // 50 ms (dBFS); when they lie within 3 dB of each other the sound is
  // steady, and the floor rises to it at once. Speech is never that steady.
  std::array<double, 6> steadyBlocks;
  size_t steadyFill = 0;  // blocks seen, up to six, since the last reset
  double steadyEnergy = 0;
  size_t steadyFrames = 0;
  // The speech frames of the last 0.3 s (mean squares; 0 for no speech),
  // learned from only once no steady stretch has claimed them.
  std::array<double, 30> pendingSpeech{};
  size_t pendingAt = 0;

  double speechPower = 0;   // mean square of the speech frames, smoothed
  size_t speechFrames = 0;  // learned from so far, up to the first second
  bool rose = false;
  double wantedDb = 0;
  double wanted = 1;   // the same, linear
  double applied = 1;  // linear gain on the last sample
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_CONDITIONING_SPEECH_GAIN_H_
