#include "platform/linux/privacy/privacy_microphone_access.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <utility>

#include "platform/linux/audio/pulse_connection.h"
#include "platform/permission_status.h"

namespace quorvel {
namespace {

constexpr double probeTimeoutSeconds = 3.0;

bool inputCanBeOpened() {
  const char* file = std::getenv("QUORVEL_AUDIO_INPUT");
  if (file != nullptr && *file != '\0') {
    const int fd = ::open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
  }
  PulseConnection probe;
  pa_sample_spec spec{};
  return probe.connect(probeTimeoutSeconds).empty() &&
         probe.sourceSpec(spec, probeTimeoutSeconds).empty();
}

}  // namespace

int64_t PrivacyMicrophoneAccess::authorizationStatus() {
  return store.read().microphone;
}

void PrivacyMicrophoneAccess::requestAccess(
    std::function<void(bool granted)> completion) {
  // The thread gets its own copy of the store (a path), so it depends on
  // nothing that the caller may release.
  std::thread([store = store, completion = std::move(completion)] {
    const bool granted = inputCanBeOpened();
    store.write(
        Permission::Microphone,
        granted ? statusAuthorized : deniedStatus(Permission::Microphone));
    if (completion) completion(granted);
  }).detach();
}

}  // namespace quorvel
