#include "platform/linux/audio/pulse_audio_engine.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

namespace quorvel {
namespace {

constexpr AudioEngine::Format requestedFormat{48000, 1};

}  // namespace

PulseAudioEngine::~PulseAudioEngine() { release(); }

AudioEngine::Format PulseAudioEngine::inputFormat() {
  if (running) return runningFormat;
  if (connection.mainloop() != nullptr) {
    PulseLock lock(connection);
    if (holdingLocked()) return runningFormat;
  }
  release();  // what is left of a recording the server ended
  probedSpec.reset();
  probeFailure.clear();
  const pa_usec_t deadline = pulseDeadline(serverTimeoutSeconds);
  pa_sample_spec spec{};
  std::string reason = connection.connect(deadline);
  if (reason.empty()) reason = connection.sourceSpec(spec, deadline);
  if (!reason.empty()) {
    probeFailure = reason;
    return requestedFormat;
  }
  probedSpec = spec;
  return {static_cast<double>(spec.rate), spec.channels};
}

void PulseAudioEngine::installTap(uint32_t bufferSize, Tap newTap) {
  hold.install(bufferSize, std::move(newTap));
}

void PulseAudioEngine::removeTap() { hold.remove(); }

std::string PulseAudioEngine::start() {
  if (running) return {};
  if (connection.mainloop() != nullptr) {
    PulseLock lock(connection);
    if (holdingLocked()) {
      pa_threaded_mainloop_get_api(connection.mainloop())->time_free(holdTimer);
      holdTimer = nullptr;
      capturing = true;
      running = true;
      hold.resume();
      return {};
    }
  }
  release();  // what is left of a recording the server ended
  // A server that did not answer inputFormat() is not asked twice in a row.
  std::optional<pa_sample_spec> source = std::exchange(probedSpec, {});
  if (!probeFailure.empty()) return std::exchange(probeFailure, {});
  const pa_usec_t deadline = pulseDeadline(serverTimeoutSeconds);
  if (std::string reason = connection.connect(deadline); !reason.empty()) {
    return reason;
  }
  if (!source) {
    source.emplace();
    if (std::string reason = connection.sourceSpec(*source, deadline);
        !reason.empty()) {
      return reason;
    }
  }
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, source->rate,
                            source->channels};
  const uint32_t frames = hold.bufferFrames();

  PulseLock lock(connection);
  capturing = false;
  hold.beginRecording();
  sampleRate = spec.rate;
  channels = spec.channels;
  bufferFrames = frames;
  gatheredFrames = 0;
  gathered.assign(size_t{bufferFrames} * channels, 0.0f);
  planar.assign(gathered.size(), 0.0f);
  pointers.clear();
  for (uint32_t c = 0; c < channels; ++c) {
    pointers.push_back(planar.data() + size_t{c} * bufferFrames);
  }

  stream = pa_stream_new(connection.context(), "quorvel capture", &spec,
                         /*map=*/nullptr);
  if (stream == nullptr) return connection.lastError();
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
  // source whose format was read.
  std::string reason;
  if (pa_stream_connect_record(stream, /*dev=*/nullptr, &attributes,
                               PA_STREAM_ADJUST_LATENCY) < 0) {
    reason = connection.lastError();
  } else if (!connection.waitLocked(
                 [this] {
                   const pa_stream_state_t state = pa_stream_get_state(stream);
                   return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
                 },
                 deadline)) {
    reason = pa_strerror(PA_ERR_TIMEOUT);
  } else if (pa_stream_get_state(stream) != PA_STREAM_READY) {
    reason = connection.lastError();
  }
  if (!reason.empty()) {
    releaseStream();
    return reason;
  }
  capturing = true;
  runningFormat = {static_cast<double>(spec.rate), spec.channels};
  running = true;
  return {};
}

bool PulseAudioEngine::isRunning() const { return running; }

void PulseAudioEngine::stop() {
  if (!running) return;
  PulseLock lock(connection);
  capturing = false;
  running = false;
  if (stream == nullptr || !PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
    return releaseStream();
  }
  hold.hold();
  holdTimer = pa_context_rttime_new(
      connection.context(), pulseDeadline(captureHoldSeconds), onHoldEnd, this);
  if (holdTimer == nullptr) releaseStream();
}

bool PulseAudioEngine::holdingLocked() {
  return holdTimer != nullptr && stream != nullptr &&
         PA_STREAM_IS_GOOD(pa_stream_get_state(stream));
}

void PulseAudioEngine::release() {
  if (connection.mainloop() == nullptr) return;
  PulseLock lock(connection);
  capturing = false;
  running = false;
  releaseStream();
}

void PulseAudioEngine::onHoldEnd(pa_mainloop_api*, pa_time_event*,
                                 const struct timeval*, void* userdata) {
  // On the main loop's thread, which holds the loop's lock.
  auto* engine = static_cast<PulseAudioEngine*>(userdata);
  std::lock_guard<std::recursive_mutex> guard(
      engine->connection.callbackMutex());
  engine->releaseStream();
}

void PulseAudioEngine::setFailureHandler(FailureHandler handler) {
  FailureHandler old;  // destroyed outside the lock
  std::lock_guard<std::recursive_mutex> guard(connection.callbackMutex());
  old = std::exchange(failureHandler, std::move(handler));
}

void PulseAudioEngine::releaseStream() {
  if (holdTimer != nullptr) {
    pa_threaded_mainloop_get_api(connection.mainloop())->time_free(holdTimer);
    holdTimer = nullptr;
  }
  hold.close();
  if (stream == nullptr) return;
  // Under the loop's lock no callback is running, and with the callbacks
  // cleared none will start.
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  pa_stream_set_read_callback(stream, nullptr, nullptr);
  pa_stream_disconnect(stream);
  pa_stream_unref(stream);
  stream = nullptr;
}

void PulseAudioEngine::onState(pa_stream* stream, void* userdata) {
  auto* engine = static_cast<PulseAudioEngine*>(userdata);
  {
    std::lock_guard<std::recursive_mutex> guard(
        engine->connection.callbackMutex());
    if (engine->capturing && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
      // The server ended a recording we did not stop: say so at once, or
      // the listener would hear silence until its next restart.
      engine->capturing = false;
      engine->running = false;
      if (engine->failureHandler) {
        engine->failureHandler(engine->connection.lastError());
      }
    }
  }
  // start() may be waiting for the stream to settle.
  pa_threaded_mainloop_signal(engine->connection.mainloop(),
                              /*wait_for_accept=*/0);
}

void PulseAudioEngine::onRead(pa_stream* stream, size_t, void* userdata) {
  auto* engine = static_cast<PulseAudioEngine*>(userdata);
  std::lock_guard<std::recursive_mutex> guard(
      engine->connection.callbackMutex());
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
    const AudioBuffer buffer{bufferFrames, pointers, sampleRate};
    hold.deliver(buffer);
  }
}

}  // namespace quorvel
