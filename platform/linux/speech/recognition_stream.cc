#include "platform/linux/speech/recognition_stream.h"

#include <algorithm>
#include <utility>

namespace quorvel {
namespace {

// Chunks kept for reuse; a few seconds of audio at the usual buffer size,
// enough that the capture thread stops allocating once decoding runs.
constexpr size_t maxSpareChunks = 64;

size_t countWords(const std::string& text) {
  size_t words = 0;
  bool inWord = false;
  for (const char c : text) {
    const bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r';
    if (!space && !inWord) ++words;
    inWord = !space;
  }
  return words;
}

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
  chunk.assign(buffer);
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

void RecognitionStream::setPhrases(std::shared_ptr<const PhraseList> list) {
  std::lock_guard<std::mutex> lock(mutex);
  expected = std::move(list);
}

std::shared_ptr<const PhraseList> RecognitionStream::phrases() {
  std::lock_guard<std::mutex> lock(mutex);
  return expected;
}

void RecognitionStream::attach(MainQueue& queue, ResultHandler resultHandler) {
  std::lock_guard<std::mutex> lock(mutex);
  mainQueue = &queue;
  handler = std::move(resultHandler);
}

void RecognitionStream::cancel() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (ended) return;
    cancelled = true;
    ended = true;
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
  // Swapping hands the decoder the whole backlog at once and gives the
  // queue the capacity of the emptied vector, so neither side reallocates.
  std::swap(chunks, queued);
  if (cancelled) return Next::Cancelled;
  return audioEnded ? Next::EndOfAudio : Next::Audio;
}

size_t RecognitionStream::wordsTaken() {
  std::lock_guard<std::mutex> lock(mutex);
  return wordsDelivered;
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
  mainQueue->async([weak = weak_from_this(), handler = handler,
                    result = std::move(result),
                    error = std::move(error)]() mutable {
    if (auto self = weak.lock()) {
      std::lock_guard<std::mutex> lock(self->mutex);
      // The words of a result on its way at the cancel go to the next task.
      if (self->cancelled) result.reset();
      if (result && !result->isFinal) {
        self->wordsDelivered = countWords(result->bestText);
      }
    }
    if (result || error) handler(result, error);
  });
}

}  // namespace quorvel
