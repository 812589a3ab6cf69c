#include "platform/linux/audio/pulse_audio_engine.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace quorvel {
namespace {

constexpr double connectTimeoutSeconds = 5.0;
constexpr double probeTimeoutSeconds = 2.0;
constexpr AudioEngine::Format requestedFormat{48000, 1};

}  // namespace

PulseAudioEngine::~PulseAudioEngine() { stop(); }

AudioEngine::Format PulseAudioEngine::inputFormat() {
  if (connection) return runningFormat;
  PulseConnection probe;
  pa_sample_spec spec{};
  if (!probe.connect(probeTimeoutSeconds).empty() ||
      !probe.sourceSpec(spec, probeTimeoutSeconds).empty()) {
    return requestedFormat;
  }
  return {static_cast<double>(spec.rate), spec.channels};
}

void PulseAudioEngine::installTap(uint32_t bufferSize, Tap newTap) {
  tapSlot.install(bufferSize, std::move(newTap));
}

void PulseAudioEngine::removeTap() { tapSlot.remove(); }

std::string PulseAudioEngine::start() {
  if (connection && !streamFailed) return {};
  stop();  // what is left of a recording the server ended
  auto candidate = std::make_unique<PulseConnection>();
  if (std::string reason = candidate->connect(connectTimeoutSeconds);
      !reason.empty()) {
    return reason;
  }
  pa_sample_spec source{};
  if (std::string reason = candidate->sourceSpec(source, connectTimeoutSeconds);
      !reason.empty()) {
    return reason;
  }
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, source.rate, source.channels};

  bufferFrames = tapSlot.bufferFrames();
  channels = spec.channels;
  gatheredFrames = 0;
  gathered.assign(size_t{bufferFrames} * channels, 0.0f);
  planar.assign(gathered.size(), 0.0f);
  pointers.clear();
  for (uint32_t c = 0; c < channels; ++c) {
    pointers.push_back(planar.data() + size_t{c} * bufferFrames);
  }
  streamFailed = false;

  runningFormat = {static_cast<double>(spec.rate), spec.channels};
  loop = candidate->mainloop();
  PulseLock lock(loop);
  stream = pa_stream_new(candidate->context(), "quorvel capture", &spec,
                         /*map=*/nullptr);
  if (stream == nullptr) return candidate->lastError();
  pa_stream_set_state_callback(stream, onState, this);
  pa_stream_set_read_callback(stream, onRead, this);
  // Fragments of about one buffer keep the latency near one buffer.
  pa_buffer_attr attributes;
  attributes.maxlength = static_cast<uint32_t>(-1);
  attributes.tlength = static_cast<uint32_t>(-1);
  attributes.prebuf = static_cast<uint32_t>(-1);
  attributes.minreq = static_cast<uint32_t>(-1);
  attributes.fragsize =
      static_cast<uint32_t>(bufferFrames * pa_frame_size(&spec));
  // No device: the library then records PULSE_SOURCE or the default, the
  // source whose format was just read.
  std::string reason;
  if (pa_stream_connect_record(stream, /*dev=*/nullptr, &attributes,
                               PA_STREAM_ADJUST_LATENCY) < 0) {
    reason = candidate->lastError();
  } else if (!candidate->waitLocked(
                 [this] {
                   return !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)) ||
                          pa_stream_get_state(stream) == PA_STREAM_READY;
                 },
                 connectTimeoutSeconds)) {
    reason = pa_strerror(PA_ERR_TIMEOUT);
  } else if (pa_stream_get_state(stream) != PA_STREAM_READY) {
    reason = candidate->lastError();
  }
  if (!reason.empty()) {
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
    return reason;
  }
  connection = std::move(candidate);
  return {};
}

bool PulseAudioEngine::isRunning() const {
  return connection != nullptr && !streamFailed;
}

void PulseAudioEngine::stop() {
  if (!connection) return;
  {
    PulseLock lock(connection->mainloop());
    // Under the loop's lock no read callback is running, and with the
    // callbacks cleared none will start.
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
  }
  connection.reset();
}

void PulseAudioEngine::onState(pa_stream* stream, void* userdata) {
  auto* engine = static_cast<PulseAudioEngine*>(userdata);
  if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
    engine->streamFailed = true;
  }
  // start() may be waiting for the stream to settle.
  pa_threaded_mainloop_signal(engine->loop, /*wait_for_accept=*/0);
}

void PulseAudioEngine::onRead(pa_stream* stream, size_t, void* userdata) {
  auto* engine = static_cast<PulseAudioEngine*>(userdata);
  const size_t frameBytes = sizeof(float) * engine->channels;
  while (pa_stream_readable_size(stream) > 0) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
    engine->gather(static_cast<const float*>(data), bytes / frameBytes);
    pa_stream_drop(stream);
  }
}

void PulseAudioEngine::gather(const float* interleaved, size_t frames) {
  while (frames > 0) {
    const size_t take = std::min<size_t>(frames, bufferFrames - gatheredFrames);
    float* out = gathered.data() + size_t{gatheredFrames} * channels;
    if (interleaved == nullptr) {
      std::fill(out, out + take * channels, 0.0f);
    } else {
      // memcpy: the server's memory block carries no alignment promise.
      std::memcpy(out, interleaved, take * channels * sizeof(float));
      interleaved += take * channels;
    }
    gatheredFrames += static_cast<uint32_t>(take);
    frames -= take;
    if (gatheredFrames < bufferFrames) break;
    gatheredFrames = 0;
    for (uint32_t c = 0; c < channels; ++c) {
      float* channel = planar.data() + size_t{c} * bufferFrames;
      for (uint32_t i = 0; i < bufferFrames; ++i) {
        channel[i] = gathered[size_t{i} * channels + c];
      }
    }
    const AudioBuffer buffer{bufferFrames, pointers, runningFormat.sampleRate};
    tapSlot.deliver(buffer);
  }
}

}  // namespace quorvel
