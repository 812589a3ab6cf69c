// The microphone permission on Linux, kept in the privacy store. A request
// answers as a platform prompt would: on a thread of its own, granted when
// the audio input can be opened.
#ifndef QUORVEL_PLATFORM_LINUX_PRIVACY_PRIVACY_MICROPHONE_ACCESS_H_
#define QUORVEL_PLATFORM_LINUX_PRIVACY_PRIVACY_MICROPHONE_ACCESS_H_

#include <cstdint>
#include <functional>

#include "platform/audio.h"
#include "platform/linux/privacy/privacy_store.h"

namespace quorvel {

class PrivacyMicrophoneAccess : public MicrophoneAccess {
 public:
  // store must outlive the access object.
  explicit PrivacyMicrophoneAccess(const PrivacyStore& privacyStore)
      : store(privacyStore) {}

  // The microphone status recorded in the store.
  int64_t authorizationStatus() override;
  // Checks on a new, detached thread whether the input can be opened (the
  // QUORVEL_AUDIO_INPUT file is readable, else the PulseAudio server
  // answers within a few seconds and has a capture source), records the
  // answer in the store (3 authorized, 2 denied), then calls completion
  // there. A failed write still completes with the answer.
  void requestAccess(std::function<void(bool granted)> completion) override;

 private:
  const PrivacyStore& store;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_PRIVACY_PRIVACY_MICROPHONE_ACCESS_H_
