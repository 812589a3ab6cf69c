#include "platform/linux/privacy/privacy_microphone_access.h"

#include <thread>
#include <utility>

#include "platform/permission_status.h"

namespace quorvel {

int64_t PrivacyMicrophoneAccess::authorizationStatus() {
  return store.read().microphone;
}

void PrivacyMicrophoneAccess::requestAccess(
    std::function<void(bool granted)> completion) {
  // The thread gets its own copy of the store (a path), so it depends on
  // nothing that the caller may release.
  std::thread([store = store, completion = std::move(completion)] {
    store.write(Permission::Microphone, statusAuthorized);
    if (completion) completion(/*granted=*/true);
  }).detach();
}

}  // namespace quorvel
