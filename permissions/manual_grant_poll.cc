#include "permissions/manual_grant_poll.h"

#include <memory>
#include <utility>

#include "events/event_writer.h"
#include "permissions/status_labels.h"
#include "platform/permission_status.h"

namespace quorvel {
namespace {

// The first look comes soon, whatever the interval, so that a permission
// granted before the poll started is noticed at once.
constexpr double firstLookDelaySeconds = 0.5;

// What every look carries; fixed when the poll starts.
struct Poll {
  MainQueue& mainQueue;
  SpeechService& speech;
  MicrophoneAccess& microphone;
  WallClock& wallClock;
  double deadline;  // wall-clock seconds
  double pollIntervalSeconds;
  std::function<void(int64_t)> completion;
};

void scheduleLook(std::shared_ptr<const Poll> poll, double delaySeconds);

void look(const std::shared_ptr<const Poll>& poll) {
  const int64_t status = poll->speech.authorizationStatus();
  const bool decided = status == statusAuthorized ||
                       status == deniedStatus(Permission::Speech) ||
                       status == restrictedStatus(Permission::Speech);
  // The deadline is on the wall clock while looks are spaced on the queue's
  // clock, so a step of the wall clock shortens or lengthens the wait.
  if (decided || !(poll->wallClock.now() < poll->deadline)) {
    poll->completion(status);
    return;
  }
  emit({{"type", "auth"},
        {"phase", "waitingManualGrant"},
        {"speech", speechStatusLabel(status)},
        {"mic", micStatusLabel(poll->microphone.authorizationStatus())}});
  scheduleLook(poll, poll->pollIntervalSeconds);
}

void scheduleLook(std::shared_ptr<const Poll> poll, double delaySeconds) {
  MainQueue& queue = poll->mainQueue;
  queue.asyncAfter(delaySeconds,
                   std::make_shared<WorkItem>([poll] { look(poll); }));
}

}  // namespace

void pollSpeechAuthorized(const Platform& platform, double timeoutSeconds,
                          double pollIntervalSeconds,
                          std::function<void(int64_t)> completion) {
  auto poll = std::make_shared<const Poll>(
      Poll{platform.mainQueue, platform.speech, platform.microphone,
           platform.wallClock, platform.wallClock.now() + timeoutSeconds,
           pollIntervalSeconds, std::move(completion)});
  scheduleLook(std::move(poll), firstLookDelaySeconds);
}

}  // namespace quorvel
