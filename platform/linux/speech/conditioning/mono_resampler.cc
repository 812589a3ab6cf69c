#include "platform/linux/speech/conditioning/mono_resampler.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>

namespace quorvel {
namespace {

// Quality 5 of 10: a filter of 80 taps at the lower rate.
constexpr int converterQuality = 5;

// Decoders take samples in [-1, 1]; a NaN from a broken source is silence.
void appendClamped(const float* samples, size_t count,
                   std::vector<float>& out) {
  for (size_t i = 0; i < count; ++i) {
    const float sample = samples[i];
    out.push_back(std::isnan(sample) ? 0.0f : std::clamp(sample, -1.0f, 1.0f));
  }
}

}  // namespace

void MonoResampler::ConverterDeleter::operator()(
    SpeexResamplerState_* state) const {
  speex_resampler_destroy(state);
}

MonoResampler::MonoResampler(double rate) : outputRate(rate) {}

MonoResampler::~MonoResampler() = default;

std::string MonoResampler::convert(const AudioChunk& chunk,
                                   std::vector<float>& out) {
  const double rate = chunk.sampleRate > 0 ? chunk.sampleRate : outputRate;
  if (rate != inputRate) {
    // A new rate (the first chunk, or an input that changed its format)
    // needs a new converter; what the old one holds belongs before it.
    flush(out);
    if (std::lround(rate) != std::lround(outputRate)) {
      int error = 0;
      converter.reset(speex_resampler_init(
          1, static_cast<spx_uint32_t>(std::lround(rate)),
          static_cast<spx_uint32_t>(std::lround(outputRate)), converterQuality,
          &error));
      if (!converter) {
        return "Cannot convert audio from " + std::to_string(rate) +
               " Hz: " + speex_resampler_strerror(error);
      }
      // The output starts with the first sample, not the filter's delay.
      speex_resampler_skip_zeros(converter.get());
    }
    inputRate = rate;
  }

  mono.assign(chunk.frames, 0.0f);
  if (chunk.channels > 0) {
    const float scale = 1.0f / static_cast<float>(chunk.channels);
    for (uint32_t c = 0; c < chunk.channels; ++c) {
      const float* in = chunk.samples.data() + size_t{c} * chunk.frames;
      for (uint32_t i = 0; i < chunk.frames; ++i) mono[i] += in[i] * scale;
    }
  }
  if (!converter) {
    appendClamped(mono.data(), mono.size(), out);
    return {};
  }
  resample(mono.data(), mono.size(), out);
  return {};
}

std::string MonoResampler::flush(std::vector<float>& out) {
  if (converter) {
    // Silence pushes out what the filter holds, up to the utterance's
    // length at the output rate.
    const uint64_t owed = static_cast<uint64_t>(
        std::llround(static_cast<double>(framesIn) * outputRate / inputRate));
    const std::vector<float> zeros(
        speex_resampler_get_input_latency(converter.get()) + 1, 0.0f);
    const size_t before = out.size();
    resample(zeros.data(), zeros.size(), out);
    const size_t made = out.size() - before;
    const size_t wanted =
        owed > framesOut - made ? owed - (framesOut - made) : 0;
    out.resize(before + std::min(made, wanted));
  }
  reset();
  return {};
}

void MonoResampler::reset() {
  converter.reset();
  inputRate = 0;
  framesIn = 0;
  framesOut = 0;
}

void MonoResampler::resample(const float* input, size_t frames,
                             std::vector<float>& out) {
  resampled.resize(static_cast<size_t>(static_cast<double>(frames) *
                                       outputRate / inputRate) +
                   256);
  framesIn += frames;
  while (frames > 0) {
    spx_uint32_t used = static_cast<spx_uint32_t>(frames);
    spx_uint32_t made = static_cast<spx_uint32_t>(resampled.size());
    speex_resampler_process_float(converter.get(), 0, input, &used,
                                  resampled.data(), &made);
    appendClamped(resampled.data(), made, out);
    framesOut += made;
    input += used;
    frames -= used;
    if (used == 0 && made == 0) break;
  }
}

}  // namespace quorvel
