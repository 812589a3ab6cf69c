#include "platform/linux/speech/conditioning/mono_resampler.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>

namespace quorvel {
namespace {

// Decoders take samples in [-1, 1]; a NaN from a broken source is silence.
void appendClamped(const float* samples, size_t count,
                   std::vector<float>& out) {
  for (size_t i = 0; i < count; ++i) {
    const float sample = samples[i];
    out.push_back(std::isnan(sample) ? 0.0f : std::clamp(sample, -1.0f, 1.0f));
  }
}

}  // namespace

void MonoResampler::ConverterDeleter::operator()(soxr* state) const {
  soxr_delete(state);
}

MonoResampler::MonoResampler(double rate) : outputRate(rate) {}

MonoResampler::~MonoResampler() = default;

std::string MonoResampler::convert(const AudioChunk& chunk,
                                   std::vector<float>& out) {
  const double rate = chunk.sampleRate > 0 ? chunk.sampleRate : outputRate;
  if (rate != inputRate) {
    // A new rate (the first chunk, or an input that changed its format)
    // needs a new converter; what the old one holds belongs before it.
    if (std::string reason = flush(out); !reason.empty()) return reason;
    if (rate != outputRate) {
      const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
      const soxr_quality_spec_t quality =
          soxr_quality_spec(SOXR_HQ, SOXR_STEEP_FILTER);
      const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
      soxr_error_t error = nullptr;
      converter.reset(
          soxr_create(rate, outputRate, 1, &error, &io, &quality, &runtime));
      if (error != nullptr || !converter) {
        converter.reset();
        return "Cannot convert audio from " + std::to_string(rate) +
               " Hz: " + (error != nullptr ? error : "no converter");
      }
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
  return resample(mono.data(), mono.size(), /*endOfInput=*/false, out);
}

std::string MonoResampler::flush(std::vector<float>& out) {
  std::string reason;
  if (converter) reason = resample(nullptr, 0, /*endOfInput=*/true, out);
  reset();
  return reason;
}

void MonoResampler::reset() {
  converter.reset();
  inputRate = 0;
}

std::string MonoResampler::resample(const float* input, size_t frames,
                                    bool endOfInput, std::vector<float>& out) {
  resampled.resize(static_cast<size_t>(static_cast<double>(frames) *
                                       outputRate / inputRate) +
                   256);
  for (;;) {
    size_t used = 0;
    size_t made = 0;
    // No input at all tells the converter to give out what it holds.
    if (soxr_error_t error =
            soxr_process(converter.get(), endOfInput ? nullptr : input, frames,
                         &used, resampled.data(), resampled.size(), &made);
        error != nullptr) {
      return error;
    }
    appendClamped(resampled.data(), made, out);
    input += used;
    frames -= used;
    // Done once the input is used up and the output had room to spare.
    if (made < resampled.size() && (endOfInput || frames == 0)) break;
    if (used == 0 && made == 0) break;
  }
  return {};
}

}  // namespace quorvel
