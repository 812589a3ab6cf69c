#include "platform/linux/speech/recognition_stream.h"

#include <algorithm>
#include <utility>

namespace quorvel {
namespace {

// Chunks kept for reuse; a few seconds of audio at the usual buffer size,
// enough that the capture thread stops allocating once decoding runs.
constexpr size_t maxSpareChunks = 64;

}  // namespace

void RecognitionStream::append(const AudioBuffer& buffer) {
  if (buffer.frameLength == 0 || buffer.channels.empty()) return;
  AudioChunk chunk;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (audioEnded || ended) return;
    if (!spare.empty()) {
      chunk = std::move(spare.back());
      spare.pop_back();
    }
  }
  // The copy runs outside the lock so that the decoder is never held up by
  // it, nor the capture thread by the decoder.
  const uint32_t channels = static_cast<uint32_t>(buffer.channels.size());
  chunk.sampleRate = buffer.sampleRate;
  chunk.channels = channels;
  chunk.frames = buffer.frameLength;
  chunk.samples.resize(static_cast<size_t>(chunk.frames) * channels);
  for (uint32_t c = 0; c < channels; ++c) {
    float* out = chunk.samples.data() + static_cast<size_t>(c) * chunk.frames;
    if (buffer.channels[c] == nullptr) {
      std::fill(out, out + chunk.frames, 0.0f);
    } else {
      std::copy(buffer.channels[c], buffer.channels[c] + chunk.frames, out);
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (audioEnded || ended) return;
    queued.push_back(std::move(chunk));
  }
  wake.notify_one();
}

void RecognitionStream::endAudio() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    audioEnded = true;
  }
  wake.notify_one();
}

void RecognitionStream::setReportPartials(bool report) {
  std::lock_guard<std::mutex> lock(mutex);
  reportPartials = report;
}

bool RecognitionStream::attach(MainQueue& queue, ResultHandler resultHandler) {
  std::lock_guard<std::mutex> lock(mutex);
  if (mainQueue != nullptr) return false;
  mainQueue = &queue;
  handler = std::move(resultHandler);
  return true;
}

void RecognitionStream::cancel() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (ended) return;
    cancelled = true;
    ended = true;
    queued.clear();
    spare.clear();
    post(std::nullopt, taskCancelledError());
  }
  wake.notify_one();
}

RecognitionStream::Next RecognitionStream::next(
    std::vector<AudioChunk>& chunks) {
  std::unique_lock<std::mutex> lock(mutex);
  for (AudioChunk& chunk : chunks) {
    if (cancelled || spare.size() >= maxSpareChunks) break;
    spare.push_back(std::move(chunk));
  }
  chunks.clear();
  wake.wait(lock,
            [this] { return cancelled || audioEnded || !queued.empty(); });
  if (cancelled) return Next::Cancelled;
  // Swapping hands the decoder the whole backlog at once and gives the
  // queue the capacity of the emptied vector, so neither side reallocates.
  std::swap(chunks, queued);
  return audioEnded ? Next::EndOfAudio : Next::Audio;
}

bool RecognitionStream::isCancelled() {
  std::lock_guard<std::mutex> lock(mutex);
  return cancelled;
}

void RecognitionStream::deliverPartial(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex);
  if (ended || !reportPartials) return;
  post(RecognitionResult{text, /*isFinal=*/false}, std::nullopt);
}

void RecognitionStream::finish(std::optional<RecognitionResult> result,
                               std::optional<RecognitionError> error) {
  std::lock_guard<std::mutex> lock(mutex);
  if (ended) return;
  ended = true;
  queued.clear();
  post(std::move(result), std::move(error));
}

void RecognitionStream::post(std::optional<RecognitionResult> result,
                             std::optional<RecognitionError> error) {
  if (mainQueue == nullptr || !handler) return;
  // The block owns a copy of the handler, so it stays valid however long
  // the task, the request or this stream have been gone when it runs.
  mainQueue->async([handler = handler, result = std::move(result),
                    error = std::move(error)] { handler(result, error); });
}

}  // namespace quorvel
