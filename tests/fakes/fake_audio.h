// A scripted audio engine and microphone permission. The test delivers
// buffers to the tap from its own thread or from a second one.
#ifndef QUORVEL_TESTS_FAKES_FAKE_AUDIO_H_
#define QUORVEL_TESTS_FAKES_FAKE_AUDIO_H_

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/audio.h"

namespace quorvel {

class FakeAudioEngine : public AudioEngine {
 public:
  Format inputFormat() override { return format; }
  void installTap(uint32_t bufferSize, Tap tap) override;
  void removeTap() override;
  std::string start() override;
  bool isRunning() const override { return running; }
  void stop() override { running = false; }
  void setFailureHandler(FailureHandler handler) override {
    failureHandler = std::move(handler);
  }

  // Calls the tap, if any, with one mono-or-more buffer of samples (every
  // channel gets the same samples). Returns whether a tap was called.
  bool deliver(const std::vector<float>& samples, int channels = 1);
  // A buffer without float data.
  bool deliverWithoutFloats(uint32_t frames);
  // Capture ends on its own, as when the sound server goes away.
  void fail(const std::string& reason) {
    running = false;
    if (failureHandler) failureHandler(reason);
  }
  bool hasTap();

  Format format{48000, 1};
  std::string startError;  // start() fails with this when non-empty
  std::atomic<bool> running{false};
  uint32_t requestedBufferSize = 0;
  FailureHandler failureHandler;  // as last set

 private:
  std::mutex tapMutex;  // held while the tap runs, as a real engine does
  Tap tap;
};

class FakeMicrophoneAccess : public MicrophoneAccess {
 public:
  int64_t authorizationStatus() override { return status; }
  void requestAccess(std::function<void(bool granted)> completion) override {
    ++requests;
    pending = std::move(completion);
  }
  // Answers the pending request, as the platform prompt would.
  void answer(bool granted) {
    auto completion = std::move(pending);
    pending = nullptr;
    completion(granted);
  }

  int64_t status = 3;
  int requests = 0;
  std::function<void(bool)> pending;
};

}  // namespace quorvel

#endif  // QUORVEL_TESTS_FAKES_FAKE_AUDIO_H_
