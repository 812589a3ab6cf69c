// A streaming gain that brings speech to the level the recognition models
// were trained on, however far the user sits from the microphone. It
// learns the speech level only from frames well above a tracked noise
// floor, so silence and steady noise never teach it anything; until it has
// heard speech it passes audio through, and it never lifts the noise floor
// to where the models would hear words in it. Used by one decoding thread
// at a time.
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

  // Applies the gain to samples in place, learning from them as they
  // pass; every sample leaves within [-1, 1].
  void process(std::span<float> samples);
  // The gain the levels heard so far call for, in dB (0 until speech has
  // been heard); the applied gain follows it within about 50 ms.
  double gainDb() const { return wantedDb; }
  // Whether a frame rose well above the noise floor since the last call:
  // something that may be speech. Steady noise and silence never rise.
  bool takeRise() { return std::exchange(rose, false); }

 private:
  void endFrame(double meanSquare);

  const size_t frameLength;  // samples in 10 ms
  const double smoothing;    // per sample, of the applied gain
  // A 100 Hz high-pass biquad on the path the levels are measured on only:
  // hum, rumble and a DC offset would otherwise pass for speech.
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

  double speechPower = 0;   // mean square of the speech frames, smoothed
  size_t speechFrames = 0;  // learned from so far, up to the first second
  bool rose = false;
  double wantedDb = 0;
  double wanted = 1;   // the same, linear
  double applied = 1;  // linear gain on the last sample
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_CONDITIONING_SPEECH_GAIN_H_
