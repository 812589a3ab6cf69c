// The microphone permission on Linux, kept in the privacy store. Nothing
// prompts: a request is answered, on a thread of its own as a platform
// prompt would be, by recording the grant. Only the user denies, through
// quorvel-privacy.
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
  // On a new, detached thread: records the grant (3 authorized) in the
  // store, then calls completion there with true. Whether the input can be
  // opened is no permission answer: a sound server that is down is the
  // capture's failure to start. A failed write still completes.
  void requestAccess(std::function<void(bool granted)> completion) override;

 private:
  const PrivacyStore& store;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_PRIVACY_PRIVACY_MICROPHONE_ACCESS_H_
