#include "platform/linux/speech/conditioning/audio_conditioner.h"

#include <span>
#include <utility>

namespace quorvel {

AudioConditioner::AudioConditioner(double decoderRate, size_t decoderFraming,
                                   std::unique_ptr<VoiceDetector> detector)
    : resampler(decoderRate),
      gain(decoderRate),
      gate(decoderRate, decoderFraming, std::move(detector)) {}

std::string AudioConditioner::condition(const AudioChunk& chunk,
                                        std::vector<float>& out) {
  converted.clear();
  std::string reason = resampler.convert(chunk, converted);
  passConverted(out);
  return reason;
}

std::string AudioConditioner::flush(std::vector<float>& out) {
  converted.clear();
  std::string reason = resampler.flush(converted);
  passConverted(out);
  gate.flush(out);
  return reason;
}

void AudioConditioner::passConverted(std::vector<float>& out) {
  gain.process(converted);
  gate.pass(converted, {gain.takeRise(), gain.loudRoom()}, out);
}

void AudioConditioner::reset() {
  resampler.reset();
  gain.reset();
  gate.reset();
}

}  // namespace quorvel
