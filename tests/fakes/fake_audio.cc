#include "tests/fakes/fake_audio.h"

namespace quorvel {

void FakeAudioEngine::installTap(uint32_t bufferSize, Tap newTap) {
  std::lock_guard<std::mutex> lock(tapMutex);
  requestedBufferSize = bufferSize;
  tap = std::move(newTap);
}

void FakeAudioEngine::removeTap() {
  std::lock_guard<std::mutex> lock(tapMutex);
  tap = nullptr;
}

std::string FakeAudioEngine::start() {
  if (!startError.empty()) return startError;
  running = true;
  return {};
}

bool FakeAudioEngine::deliver(const std::vector<float>& samples, int channels) {
  std::vector<const float*> pointers(channels, samples.data());
  std::lock_guard<std::mutex> lock(tapMutex);
  if (!tap) return false;
  tap(AudioBuffer{static_cast<uint32_t>(samples.size()), pointers});
  return true;
}

bool FakeAudioEngine::deliverWithoutFloats(uint32_t frames) {
  std::lock_guard<std::mutex> lock(tapMutex);
  if (!tap) return false;
  tap(AudioBuffer{frames, {}});
  return true;
}

bool FakeAudioEngine::hasTap() {
  std::lock_guard<std::mutex> lock(tapMutex);
  return static_cast<bool>(tap);
}

}  // namespace quorvel
