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
// a 50 Hz hum, a 30 Hz rumble, a DC offset; nothing at all.
enum class Sound { Speech, Noise, Hum, Rumble, Dc, Silence };

struct Part {
  Sound sound;
  double levelDb;
  double seconds;  // 0: under all the other parts, from start to end
};

std::vector<float> render(const std::vector<Part>& parts) {
  std::mt19937 random(7);
  std::normal_distribution<double> gauss;
  std::vector<float> out;
  size_t length = 0;
  for (const Part& part : parts) length += part.seconds * rate;
  for (const bool under : {false, true}) {
    for (size_t at = 0; const Part& part : parts) {
      if ((part.seconds == 0) != under) continue;
      const double amplitude = std::pow(10.0, part.levelDb / 20.0);
      const size_t count = under ? length : part.seconds * rate;
      if (under) at = 0;
      out.resize(std::max(out.size(), at + count));
      for (size_t i = 0; i < count; ++i, ++at) {
        const double t = static_cast<double>(at) / rate;
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
          case Sound::Rumble:
            sample = amplitude * std::numbers::sqrt2 *
                     std::sin(2 * std::numbers::pi * t *
                              (part.sound == Sound::Hum ? 50 : 30));
            break;
          case Sound::Dc:
            sample = amplitude;
            break;
          case Sound::Silence:
            break;
        }
        out[at] += static_cast<float>(sample);
      }
    }
  }
  return out;
}

// The RMS in dBFS of the loudest 50 ms of samples between two times.
double loudestDb(const std::vector<float>& samples, double from, double to) {
  double loudest = 0;
  for (size_t at = from * rate; at + 800 <= to * rate; at += 800) {
    double energy = 0;
    for (size_t i = at; i < at + 800; ++i)
      energy += double{samples[i]} * samples[i];
    loudest = std::max(loudest, energy / 800);
  }
  return 10 * std::log10(loudest + 1e-20);
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
// raised, nor are they after quiet speech beyond the ceiling, hum, rumble
// and DC included, nor noise that switches on, which teaches the speech
// level nothing; a user who moves closer is followed; a shout after a
// whisper is lowered at once, never clipped.
TEST(SpeechGainTest, BringsSpeechToTheTargetAndNothingElse) {
  const double target = SpeechGain::targetLevelDb;
  struct Case {
    const char* what;
    std::vector<Part> parts;
    double expectedGainDb;   // at the end
    double measuredSeconds;  // of voiced output at the target, at the end
    double quietFrom = 0, quietTo = 0;  // seconds at most at the ceiling
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
      {"hum, rumble and DC after quiet speech",
       {{Sound::Speech, -55, 3},
        {Sound::Silence, 0, 2},
        {Sound::Hum, -62, 0},
        {Sound::Rumble, -50, 0},
        {Sound::Dc, -52, 0}},
       24,
       0,
       3.3,
       5},
      {"a fan switching on after quiet speech",
       {{Sound::Speech, -55, 3},
        {Sound::Noise, -50, 2},
        {Sound::Speech, -55, 1}},
       25,
       0,
       3.5,
       5},
      {"moving closer",
       {{Sound::Speech, t - 30, 4}, {Sound::Speech, t - 10, 6}},
       10.5,
       2},
      {"shout after a whisper",
       {{Sound::Speech, t - 30, 3}, {Sound::Speech, -12, 1}},
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
    if (c.measuredSeconds > 0) {
      EXPECT_NEAR(voicedLevelDb(samples, c.measuredSeconds), target, 1.5)
          << c.what;
    }
    if (c.quietTo > 0) {
      EXPECT_LE(loudestDb(samples, c.quietFrom, c.quietTo),
                SpeechGain::noiseCeilingDb + 1.5)
          << c.what;
    }
    // Loud peaks lower the gain instead of being clipped: only the first
    // peak's rising edge meets full scale.
    EXPECT_LE(std::count_if(samples.begin(), samples.end(),
                            [](float s) { return std::abs(s) >= 0.999f; }),
              40)
        << c.what;
  }
}

}  // namespace
}  // namespace quorvel
