#include "platform/linux/speech/conditioning/voice_gate.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace quorvel {
namespace {

size_t samplesIn(double seconds, double sampleRate) {
  return static_cast<size_t>(std::lround(seconds * sampleRate));
}

}  // namespace

VoiceGate::VoiceGate(double sampleRate, size_t decoderFraming,
                     std::unique_ptr<VoiceDetector> voiceDetector)
    : detector(std::move(voiceDetector)),
      window(detector ? detector->windowLength() : 0),
      framing(std::max<size_t>(1, decoderFraming)),
      preRollSamples(samplesIn(preRollSeconds, sampleRate)),
      sparsePreRollSamples(samplesIn(sparsePreRollSeconds, sampleRate)),
      hangoverSamples(samplesIn(hangoverSeconds, sampleRate)),
      wakeSamples(samplesIn(wakeSeconds, sampleRate)) {
  pending.reserve(window);
  reset();
}

void VoiceGate::pass(std::span<const float> samples, Room room,
                     std::vector<float>& out) {
  if (!detector || window == 0) {
    out.insert(out.end(), samples.begin(), samples.end());
    return;
  }
  const size_t count = samples.size();
  if (room.rising) {
    sinceRising = 0;
    if (!awake) {
      // Its state is from another time: it starts afresh.
      detector->reset();
      awake = true;
    }
  }
  // Window by window, so that a window the detector marks as speech opens
  // the gate for what follows it.
  while (!samples.empty()) {
    const size_t length = std::min(samples.size(), window - pending.size());
    const std::span<const float> piece = samples.first(length);
    samples = samples.subspan(length);
    if (open) {
      out.insert(out.end(), piece.begin(), piece.end());
    } else {
      // The pre-roll, and up to a framing more to round what is left out.
      held.insert(held.end(), piece.begin(), piece.end());
      const size_t keep = sparsePreRollSamples + framing;
      if (held.size() > keep) {
        held.erase(held.begin(), held.end() - static_cast<ptrdiff_t>(keep));
      }
      closedFor += length;
    }
    pending.insert(pending.end(), piece.begin(), piece.end());
    if (pending.size() == window) {
      endWindow(room.loud, out);
      pending.clear();
    }
  }
  if (!room.rising) sinceRising += count;
  if (awake && !open && sinceRising >= wakeSamples) awake = false;
}

void VoiceGate::endWindow(bool loud, std::vector<float>& out) {
  // Open after a reset, the model hears every window until it marks
  // speech: the gate would otherwise close on a launch in mid-word.
  const bool sparse = (open && marked) || !awake;
  if (sparse && ++windowsUnheard < sparseHearing) {
    // Unheard, a window goes as the last one heard: speech, or silence
    // (the hangover has begun).
    if (open && sinceSpeech > 0) countHangover();
    return;
  }
  if (!open && !awake && !loud) return;
  windowsUnheard = 0;
  if (detector->detect(pending)) {
    sinceSpeech = 0;
    marked = true;
    if (!open) {
      open = true;
      releaseHeld(awake ? preRollSamples : sparsePreRollSamples, out);
      // Speech wakes the model as a rise would have.
      awake = true;
      sinceRising = 0;
    }
  } else if (open) {
    countHangover();
  }
}

void VoiceGate::countHangover() {
  sinceSpeech += window;
  if (sinceSpeech >= hangoverSamples) open = false;
}

void VoiceGate::flush(std::vector<float>& out) {
  // The model may not have had the time to mark speech that began in what
  // it is still hearing.
  if (awake) releaseHeld(preRollSamples, out);
}

void VoiceGate::reset() {
  // A recording may start in the middle of speech: the gate starts open,
  // and closes once the detector has heard no speech for the hangover.
  held.clear();
  closedFor = 0;
  pending.clear();
  if (detector) detector->reset();
  awake = true;
  open = true;
  marked = false;
  windowsUnheard = 0;
  sinceRising = 0;
  sinceSpeech = 0;
}

void VoiceGate::releaseHeld(size_t preRoll, std::vector<float>& out) {
  // All since the gate closed, or less: the pre-roll and what rounds the
  // rest, left out, to whole framings.
  size_t released = closedFor;
  if (closedFor > preRoll)
    released -= (closedFor - preRoll) / framing * framing;
  released = std::min(released, held.size());
  out.insert(out.end(), held.end() - static_cast<ptrdiff_t>(released),
             held.end());
  held.clear();
  closedFor = 0;
}

}  // namespace quorvel
