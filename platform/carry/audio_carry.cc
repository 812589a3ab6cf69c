#include "platform/carry/audio_carry.h"

#include <algorithm>
#include <utility>

namespace quorvel {

void AudioChunk::assign(const AudioBuffer& buffer) {
  sampleRate = buffer.sampleRate;
  channels = static_cast<uint32_t>(buffer.channels.size());
  frames = buffer.frameLength;
  position = buffer.position;
  samples.resize(static_cast<size_t>(frames) * channels);
  for (uint32_t c = 0; c < channels; ++c) {
    float* out = samples.data() + static_cast<size_t>(c) * frames;
    if (buffer.channels[c] == nullptr) {
      std::fill(out, out + frames, 0.0f);
    } else {
      std::copy(buffer.channels[c], buffer.channels[c] + frames, out);
    }
  }
}

bool AudioChunk::followedBy(uint64_t nextPosition, double nextRate) const {
  const uint64_t end = position + frames;
  return nextRate == sampleRate && nextPosition >= end &&
         static_cast<double>(nextPosition - end) <=
             seamlessGapSeconds * sampleRate;
}

AudioBuffer AudioChunk::view(std::vector<const float*>& pointers) const {
  pointers.resize(channels);
  for (uint32_t c = 0; c < channels; ++c) {
    pointers[c] = samples.data() + static_cast<size_t>(c) * frames;
  }
  return {frames, pointers, sampleRate, nullptr, position};
}

void CaptureHold::install(uint32_t bufferSize, AudioEngine::Tap newTap) {
  AudioEngine::Tap old;  // destroyed outside the lock
  std::lock_guard<std::mutex> lock(mutex);
  old = std::exchange(tap, std::move(newTap));
  requestedFrames = bufferSize;
}

void CaptureHold::remove() {
  AudioEngine::Tap old;
  std::lock_guard<std::mutex> lock(mutex);
  old = std::exchange(tap, nullptr);
}

uint32_t CaptureHold::bufferFrames() {
  std::lock_guard<std::mutex> lock(mutex);
  return requestedFrames == 0
             ? 1024
             : std::clamp<uint32_t>(requestedFrames, 16, 1 << 16);
}

void CaptureHold::beginRecording() {
  std::lock_guard<std::mutex> lock(mutex);
  // Far beyond any gap a recogniser would bridge, and years from wrapping.
  nextPosition += uint64_t{1} << 32;
  keptCount = 0;
  keptFrames = 0;
  mode = Mode::Live;
}

void CaptureHold::hold() {
  std::lock_guard<std::mutex> lock(mutex);
  if (mode == Mode::Live) mode = Mode::Holding;
}

void CaptureHold::resume() {
  std::lock_guard<std::mutex> lock(mutex);
  if (mode == Mode::Holding) mode = Mode::Live;
}

void CaptureHold::close() {
  std::lock_guard<std::mutex> lock(mutex);
  mode = Mode::Closed;
  keptCount = 0;
  keptFrames = 0;
}

void CaptureHold::deliver(const AudioBuffer& buffer) {
  std::lock_guard<std::mutex> lock(mutex);
  AudioBuffer stamped = buffer;
  stamped.position = nextPosition;
  nextPosition += buffer.frameLength;
  if (mode == Mode::Holding) {
    // Bounded, should the input outlive its hold.
    if (static_cast<double>(keptFrames) >
        captureHoldSeconds * buffer.sampleRate) {
      return;
    }
    if (keptCount == kept.size()) kept.emplace_back();
    kept[keptCount++].assign(stamped);
    keptFrames += buffer.frameLength;
    return;
  }
  if (mode == Mode::Closed || !tap) {
    keptCount = 0;
    keptFrames = 0;
    return;
  }
  for (size_t i = 0; i < keptCount; ++i) tap(kept[i].view(pointers));
  keptCount = 0;
  keptFrames = 0;
  tap(stamped);
}

void AudioHistory::add(const AudioBuffer& buffer) {
  if (buffer.frameLength == 0 || buffer.channels.empty()) return;
  if (!firstPosition) firstPosition = buffer.position;
  // Once carrySeconds are kept, the oldest chunks make room, and the last
  // of them lends its storage: the capture thread stops allocating.
  AudioChunk chunk;
  while (!chunks.empty() &&
         static_cast<double>(keptFrames + buffer.frameLength -
                             chunks.front().frames) >=
             carrySeconds * buffer.sampleRate) {
    keptFrames -= chunks.front().frames;
    chunk = std::move(chunks.front());
    chunks.pop_front();
  }
  chunk.assign(buffer);
  keptFrames += buffer.frameLength;
  chunks.push_back(std::move(chunk));
}

std::vector<AudioChunk> AudioHistory::takeAfter(
    std::optional<double> heardSeconds) {
  std::vector<AudioChunk> after;
  if (heardSeconds && !chunks.empty()) {
    const uint64_t cut =
        *firstPosition + static_cast<uint64_t>(std::max(0.0, *heardSeconds) *
                                               chunks.front().sampleRate);
    for (AudioChunk& chunk : chunks) {
      if (chunk.position + chunk.frames <= cut) continue;
      if (chunk.position < cut) {
        // The chunk the text ends in: only its frames after the cut.
        const uint32_t skip = static_cast<uint32_t>(cut - chunk.position);
        AudioChunk tail;
        tail.sampleRate = chunk.sampleRate;
        tail.channels = chunk.channels;
        tail.frames = chunk.frames - skip;
        tail.position = cut;
        for (uint32_t c = 0; c < chunk.channels; ++c) {
          const float* in = chunk.samples.data() + size_t{c} * chunk.frames;
          tail.samples.insert(tail.samples.end(), in + skip, in + chunk.frames);
        }
        after.push_back(std::move(tail));
      } else {
        after.push_back(std::move(chunk));
      }
    }
  }
  firstPosition.reset();
  chunks.clear();
  keptFrames = 0;
  return after;
}

}  // namespace quorvel
