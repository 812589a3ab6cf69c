#include "platform/linux/speech/conditioning/speech_gain.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

namespace quorvel {
namespace {

constexpr double rate = 16000;

// Stand-ins for what a microphone hears, at a level in dBFS (RMS while
// sounding): speech as voiced syllables, 0.25 s of a 150 Hz buzz rich in
// harmonics, then 0.15 s of pause, over a room 45 dB below; steady noise;
// a hum; nothing at all.
enum class Sound { Speech, Noise, Hum, Silence };

struct Part {
  Sound sound;
  double levelDb;
  double seconds;
};

std::vector<float> render(const std::vector<Part>& parts) {
  std::mt19937 random(7);
  std::normal_distribution<double> gauss;
  std::vector<float> out;
  for (const Part& part : parts) {
    const double amplitude = std::pow(10.0, part.levelDb / 20.0);
    const size_t count = static_cast<size_t>(part.seconds * rate);
    for (size_t i = 0; i < count; ++i) {
      const double t = static_cast<double>(out.size()) / rate;
      double sample = 0;
      switch (part.sound) {
        case Sound::Speech: {
          const bool voiced = std::fmod(t, 0.4) < 0.25;
          double buzz = 0;
          for (int h = 1; h <= 20; ++h) {
            buzz += std::sin(2 * std::numbers::pi * 150 * h * t) / h;
          }
          // The buzz's RMS is about 0.9.
          sample = voiced ? amplitude * buzz / 0.9
                          : amplitude * 0.0056 * gauss(random);
          break;
        }
        case Sound::Noise:
          sample = amplitude * gauss(random);
          break;
        case Sound::Hum:
          sample = amplitude * std::numbers::sqrt2 *
                   std::sin(2 * std::numbers::pi * 50 * t);
          break;
        case Sound::Silence:
          break;
      }
      out.push_back(static_cast<float>(sample));
    }
  }
  return out;
}

// The RMS in dBFS of the voiced parts of the last `seconds` of samples.
double voicedLevelDb(const std::vector<float>& samples, double seconds) {
  double energy = 0;
  size_t count = 0;
  for (size_t i = samples.size() - static_cast<size_t>(seconds * rate);
       i < samples.size(); ++i) {
    if (std::fmod(static_cast<double>(i) / rate, 0.4) < 0.25) {
      energy += double{samples[i]} * samples[i];
      ++count;
    }
  }
  return 10 * std::log10(energy / static_cast<double>(count) + 1e-20);
}

// Quiet speech is raised to the target and loud speech left alone, within
// the first second of speech; silence, steady noise and hum are never
// raised, nor are they after quiet speech beyond where the models would
// hear words in them; a user who moves closer is followed; nothing leaves
// beyond full scale, even a shout after a whisper.
TEST(SpeechGainTest, BringsSpeechToTheTargetAndNothingElse) {
  const double target = SpeechGain::targetLevelDb;
  struct Case {
    const char* what;
    std::vector<Part> parts;
    double expectedGainDb;   // at the end
    double measuredSeconds;  // of voiced output at the target, at the end
  };
  const double t = target;
  const Case cases[] = {
      {"quiet speech", {{Sound::Speech, t - 24, 3}}, 24, 2},
      {"first second of speech",
       {{Sound::Silence, 0, 2}, {Sound::Speech, t - 18, 1}},
       18,
       0.4},
      {"whisper", {{Sound::Speech, t - 40, 3}}, SpeechGain::maxGainDb, 0},
      {"loud speech", {{Sound::Speech, t + 1, 3}}, 0, 0},
      {"silence", {{Sound::Silence, 0, 30}}, 0, 0},
      {"steady noise", {{Sound::Noise, -48, 30}}, 0, 0},
      {"hum", {{Sound::Hum, -30, 30}}, 0, 0},
      // The noise floor may be raised to noiseCeilingDb (-45) at most.
      {"noise after quiet speech",
       {{Sound::Speech, -54, 3}, {Sound::Noise, -55, 5}},
       11.5,
       0},
      {"moving closer",
       {{Sound::Speech, t - 30, 4}, {Sound::Speech, t - 10, 6}},
       10.5,
       2},
      {"shout after a whisper",
       {{Sound::Speech, t - 30, 3}, {Sound::Speech, -6, 1}},
       0,
       0},
  };
  for (const Case& c : cases) {
    const std::vector<float> heard = render(c.parts);
    std::vector<float> samples = heard;
    SpeechGain gain(rate);
    // In buffers of varied length, as capture delivers them.
    for (size_t at = 0, length = 100; at < samples.size();
         at += length, length = length * 7 % 1500 + 1) {
      gain.process(std::span<float>(samples).subspan(
          at, std::min(length, samples.size() - at)));
    }
    EXPECT_NEAR(gain.gainDb(), c.expectedGainDb, 1.5) << c.what;
    // What is not raised passes untouched, from its first sample on.
    if (c.expectedGainDb == 0 && c.measuredSeconds == 0 &&
        c.parts.size() == 1) {
      EXPECT_TRUE(samples == heard) << c.what;
    }
    if (c.measuredSeconds > 0) {
      EXPECT_NEAR(voicedLevelDb(samples, c.measuredSeconds), target, 1.5)
          << c.what;
    }
    float peak = 0;
    for (float sample : samples) peak = std::max(peak, std::abs(sample));
    EXPECT_LE(peak, 1.0f) << c.what;
  }
}

}  // namespace
}  // namespace quorvel
