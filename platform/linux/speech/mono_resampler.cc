#include "platform/linux/speech/mono_resampler.h"

#include <samplerate.h>

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

void MonoResampler::ConverterDeleter::operator()(SRC_STATE_tag* state) const {
  src_delete(state);
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
      if (!src_is_valid_ratio(outputRate / rate)) {
        return "Cannot convert audio from " + std::to_string(rate) + " Hz";
      }
      int error = 0;
      converter.reset(src_new(SRC_SINC_FASTEST, 1, &error));
      if (!converter) return src_strerror(error);
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
  const double ratio = outputRate / inputRate;
  resampled.resize(static_cast<size_t>(static_cast<double>(frames) * ratio) +
                   256);
  SRC_DATA data{};
  data.data_in = input;
  data.input_frames = static_cast<long>(frames);
  data.src_ratio = ratio;
  data.end_of_input = endOfInput ? 1 : 0;
  for (;;) {
    data.data_out = resampled.data();
    data.output_frames = static_cast<long>(resampled.size());
    if (int error = src_process(converter.get(), &data); error != 0) {
      return src_strerror(error);
    }
    appendClamped(resampled.data(), static_cast<size_t>(data.output_frames_gen),
                  out);
    data.data_in += data.input_frames_used;
    data.input_frames -= data.input_frames_used;
    // Without more input the converter is drained once it yields nothing.
    const bool madeProgress =
        data.input_frames_used > 0 || data.output_frames_gen > 0;
    if (!madeProgress || (data.input_frames == 0 && !endOfInput)) break;
  }
  return {};
}

}  // namespace quorvel
