// Turns captured float chunks of any rate and channel count into mono
// samples in [-1, 1] at a decoder's rate, with speexdsp's windowed-sinc
// converter (quality 5): it passes up to about 0.92 of the lower rate's
// Nyquist frequency (7.4 kHz at 16 kHz) and delays the audio by 40 samples
// of the lower rate, 2.5 ms from a 48 kHz microphone, 5 ms from an 8 kHz
// one; a converter that buffers more delays every word. Output is aligned
// with the input (no leading zeros), and an utterance's flush gives exactly
// its length at the output rate. Used by one decoding thread at a time;
// keeps the converter's state across the chunks of one utterance.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_CONDITIONING_MONO_RESAMPLER_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_CONDITIONING_MONO_RESAMPLER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/carry/audio_carry.h"

struct SpeexResamplerState_;

namespace quorvel {

class MonoResampler {
 public:
  explicit MonoResampler(double outputRate);
  ~MonoResampler();
  MonoResampler(const MonoResampler&) = delete;
  MonoResampler& operator=(const MonoResampler&) = delete;

  // Downmixes chunk, converts it to the output rate (a chunk with rate 0 is
  // taken to be at the output rate already) and appends the result to out.
  // Empty on success, else a readable reason.
  std::string convert(const AudioChunk& chunk, std::vector<float>& out);
  // Appends what the converter still holds and starts a new utterance.
  std::string flush(std::vector<float>& out);
  // Drops what the converter holds and starts a new utterance.
  void reset();

 private:
  void resample(const float* input, size_t frames, std::vector<float>& out);

  double outputRate;
  double inputRate = 0;  // of the converter in use; 0 when there is none
  struct ConverterDeleter {
    void operator()(SpeexResamplerState_* state) const;
  };
  std::unique_ptr<SpeexResamplerState_, ConverterDeleter> converter;
  uint64_t framesIn = 0;         // taken by the converter in use
  uint64_t framesOut = 0;        // given by it
  std::vector<float> mono;       // one chunk downmixed
  std::vector<float> resampled;  // converter output
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_CONDITIONING_MONO_RESAMPLER_H_
