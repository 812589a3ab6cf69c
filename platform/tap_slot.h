// The tap of an audio engine, shared by the main queue, which installs and
// removes it, and the capture thread, which calls it. The capture thread
// holds the slot's lock only while the tap runs, so a removal waits for a
// call in progress and never for the next buffer.
#ifndef QUORVEL_PLATFORM_TAP_SLOT_H_
#define QUORVEL_PLATFORM_TAP_SLOT_H_

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <utility>

#include "platform/audio.h"

namespace quorvel {

class TapSlot {
 public:
  void install(uint32_t bufferSize, AudioEngine::Tap newTap) {
    AudioEngine::Tap old;  // destroyed outside the lock
    std::lock_guard<std::mutex> lock(mutex);
    old = std::exchange(tap, std::move(newTap));
    requestedFrames = bufferSize;
  }
  // When it returns, the old tap is not running and is never called again.
  void remove() {
    AudioEngine::Tap old;
    {
      std::lock_guard<std::mutex> lock(mutex);
      old = std::exchange(tap, nullptr);
    }
  }
  // The buffer length to deliver: the size asked for, within sane bounds,
  // or 1024 frames when no tap has asked.
  uint32_t bufferFrames() {
    std::lock_guard<std::mutex> lock(mutex);
    return requestedFrames == 0
               ? 1024
               : std::clamp<uint32_t>(requestedFrames, 16, 1 << 16);
  }
  // Capture thread: calls the tap, if any, with buffer.
  void deliver(const AudioBuffer& buffer) {
    std::lock_guard<std::mutex> lock(mutex);
    if (tap) tap(buffer);
  }

 private:
  std::mutex mutex;
  AudioEngine::Tap tap;          // by mutex
  uint32_t requestedFrames = 0;  // by mutex
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_TAP_SLOT_H_
