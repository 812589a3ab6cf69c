// Audio conditioning before the decoder: what the microphone delivers
// becomes what the recognition models were trained on. Chunks of any rate
// and channel count are mixed down to mono and converted to the decoder's
// rate (MonoResampler), then high-passed and brought to the models' speech
// level (SpeechGain), so that a user who speaks quietly or sits back from the
// microphone is heard as well as one close to it, and passed on only
// around speech (VoiceGate), so that nobody speaking costs next to
// nothing. The listener's "level" records keep showing the raw input. One
// conditioner per decoder, used on its decoding thread alone.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_CONDITIONING_AUDIO_CONDITIONER_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_CONDITIONING_AUDIO_CONDITIONER_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/carry/audio_carry.h"
#include "platform/linux/speech/conditioning/mono_resampler.h"
#include "platform/linux/speech/conditioning/speech_gain.h"
#include "platform/linux/speech/conditioning/voice_gate.h"

namespace quorvel {

class AudioConditioner {
 public:
  // decoderRate: the rate the decoder takes, in hertz; decoderFraming: its
  // framing (see Decoder::framing). detector: null to decode all audio.
  AudioConditioner(double decoderRate, size_t decoderFraming,
                   std::unique_ptr<VoiceDetector> detector);

  // Appends to out what of chunk the decoder is to hear: mixed down,
  // converted, filtered and brought to the speech level, around speech
  // only. Empty on success, else a readable reason.
  std::string condition(const AudioChunk& chunk, std::vector<float>& out);
  // Appends what is still held back, at the end of an utterance.
  std::string flush(std::vector<float>& out);
  // A new utterance, not following on from the last: drops what is held
  // back and forgets the noise floor. The speech level learned so far is
  // kept for the life of the process.
  void reset();

 private:
  // The level, then the gate, for what the resampler left in converted.
  void passConverted(std::vector<float>& out);

  MonoResampler resampler;
  SpeechGain gain;
  VoiceGate gate;
  std::vector<float> converted;  // one chunk, before the gate
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_CONDITIONING_AUDIO_CONDITIONER_H_
