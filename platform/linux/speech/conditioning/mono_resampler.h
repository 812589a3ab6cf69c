// Turns captured float chunks of any rate and channel count into mono
// samples in [-1, 1] at a decoder's rate, with libsoxr's high-quality
// (20-bit) converter and its steep filter: the models hear up to nearly
// their rate's Nyquist frequency, at a fraction of the cost of lesser
// converters.
// Used by one decoding thread at a time; keeps the converter's state across
// the chunks of one utterance.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_CONDITIONING_MONO_RESAMPLER_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_CONDITIONING_MONO_RESAMPLER_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/carry/audio_carry.h"

struct soxr;

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
  std::string resample(const float* input, size_t frames, bool endOfInput,
                       std::vector<float>& out);

  double outputRate;
  double inputRate = 0;  // of the converter in use; 0 when there is none
  struct ConverterDeleter {
    void operator()(soxr* state) const;
  };
  std::unique_ptr<soxr, ConverterDeleter> converter;
  std::vector<float> mono;       // one chunk downmixed
  std::vector<float> resampled;  // converter output
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_CONDITIONING_MONO_RESAMPLER_H_
