#include "platform/linux/speech/conditioning/speech_gain.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace quorvel {
namespace {

// A frame this far above the noise floor is speech.
constexpr double speechAboveFloorDb = 12.0;
// A frame this far above it may be the start of speech.
constexpr double riseAboveFloorDb = 9.0;
// Quieter frames are never speech, whatever the floor: after digital
// silence the floor is nothing, and the least hum would count.
constexpr double quietestSpeechDb = -80.0;
// The speech level is the plain mean of the first second of speech, so
// that it settles within that second, then follows about the last 1.5 s.
constexpr size_t settleFrames = 100;
constexpr double followFrames = 150.0;
// Nothing is raised before this much speech: the first frames of a word
// are its quietest, and would raise loud speech.
constexpr size_t evidenceFrames = 20;
// Frames per block of the noise floor's window.
constexpr size_t blockFrames = 25;
// Frames per block of the steadiness test, and the spread of steady noise.
constexpr size_t steadyBlockFrames = 5;
constexpr double steadySpreadDb = 3.0;

double decibels(double meanSquare) {
  return 10.0 * std::log10(std::max(meanSquare, 1e-12));
}

}  // namespace

SpeechGain::SpeechGain(double sampleRate)
    : frameLength(std::max<size_t>(1, std::lround(sampleRate / 100.0))),
      smoothing(1.0 - std::exp(-1.0 / (0.05 * sampleRate))) {
  // The usual high-pass biquad (Q = 1/sqrt 2).
  const double w = 2.0 * std::numbers::pi * 100.0 / sampleRate;
  const double alpha = std::sin(w) / std::numbers::sqrt2;
  const double a0 = 1.0 + alpha;
  b0 = (1.0 + std::cos(w)) / 2.0 / a0;
  b1 = -(1.0 + std::cos(w)) / a0;
  b2 = b0;
  a1 = -2.0 * std::cos(w) / a0;
  a2 = (1.0 - alpha) / a0;
  reset();
}

void SpeechGain::reset() {
  blockMinima.fill(std::numeric_limits<double>::infinity());
  block = 0;
  blockFill = 0;
  sinceReset = 0;
  steadyFill = 0;
  steadyEnergy = 0;
  steadyFrames = 0;
  pendingSpeech.fill(0);
}

void SpeechGain::process(std::span<float> samples) {
  for (float& sample : samples) {
    const double x = sample;
    const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1;
    x1 = x;
    y2 = y1;
    y1 = y;
    frameEnergy += y * y;
    if (++frameFill == frameLength) {
      endFrame(frameEnergy / static_cast<double>(frameLength));
      frameEnergy = 0;
      frameFill = 0;
    }

    applied += (wanted - applied) * smoothing;
    // A peak that the gain would carry beyond full scale lowers the gain
    // at once instead of being clipped; the gain then recovers smoothly.
    if (std::abs(y) * applied > 1.0) applied = 1.0 / std::abs(y);
    sample = static_cast<float>(std::clamp(y * applied, -1.0, 1.0));
  }
}

void SpeechGain::endSteadyBlock(double meanSquare) {
  std::shift_left(steadyBlocks.begin(), steadyBlocks.end(), 1);
  steadyBlocks.back() = decibels(meanSquare);
  if (steadyFill < steadyBlocks.size()) ++steadyFill;
  if (steadyFill < steadyBlocks.size()) return;
  const auto [quietest, loudest] =
      std::minmax_element(steadyBlocks.begin(), steadyBlocks.end());
  if (*loudest - *quietest >= steadySpreadDb) return;
  // Steady sound: the floor is at least this, and none of it was speech.
  for (double& minimum : blockMinima) minimum = std::max(minimum, *quietest);
  pendingSpeech.fill(0);
}

void SpeechGain::endFrame(double meanSquare) {
  const double level = decibels(meanSquare);
  blockMinima[block] = std::min(blockMinima[block], level);
  if (++blockFill == blockFrames) {
    blockFill = 0;
    block = (block + 1) % blockMinima.size();
    blockMinima[block] = std::numeric_limits<double>::infinity();
  }
  steadyEnergy += meanSquare;
  if (++steadyFrames == steadyBlockFrames) {
    endSteadyBlock(steadyEnergy / steadyBlockFrames);
    steadyEnergy = 0;
    steadyFrames = 0;
  }
  noiseFloorDb = *std::min_element(blockMinima.begin(), blockMinima.end());

  if (level > quietestSpeechDb && level > noiseFloorDb + riseAboveFloorDb) {
    rose = true;
  }
  // A speech frame is learned from 0.3 s late, once it is clear that it
  // was no noise switching on.
  const double learned = std::exchange(
      pendingSpeech[pendingAt],
      level > quietestSpeechDb && level > noiseFloorDb + speechAboveFloorDb
          ? meanSquare
          : 0.0);
  pendingAt = (pendingAt + 1) % pendingSpeech.size();
  if (learned > 0) {
    const double weight = speechFrames < settleFrames
                              ? 1.0 / static_cast<double>(++speechFrames)
                              : 1.0 / followFrames;
    speechPower += (learned - speechPower) * weight;
  }
  // Just after a reset the floor is not known yet: the gain stays.
  if (sinceReset < blockFrames) ++sinceReset;
  if (speechFrames < evidenceFrames || sinceReset < blockFrames) return;
  // Louder speech than the level learned so far lowers the gain at once.
  double pendingPower = 0;
  size_t pending = 0;
  for (double power : pendingSpeech) {
    pendingPower += power;
    pending += power > 0 ? 1 : 0;
  }
  if (pending > 0) pendingPower /= static_cast<double>(pending);
  const double raise =
      std::clamp(targetLevelDb - decibels(std::max(speechPower, pendingPower)),
                 0.0, maxGainDb);
  wantedDb = std::min(raise, std::max(0.0, noiseCeilingDb - noiseFloorDb));
  wanted = std::pow(10.0, wantedDb / 20.0);
}

}  // namespace quorvel
