#include "permissions/auth_sequence.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "events/event_writer.h"
#include "permissions/manual_grant_poll.h"
#include "permissions/status_labels.h"
#include "platform/dispatch_group.h"
#include "platform/permission_status.h"

namespace quorvel {

namespace {

// How long the user has to switch the speech permission on by hand.
constexpr double authTimeoutSeconds = 45.0;
constexpr double pollIntervalSeconds = 1.0;

const char* const speechDeniedMessage =
    "Speech recognition denied/restricted (System Settings → Privacy & "
    "Security → Speech Recognition → enable Brixlane Speech / quorvel). "
    "status=";
const char* const speechNotAuthorizedMessage =
    "Speech recognition not authorized (System Settings → Privacy & Security "
    "→ Speech Recognition → enable Brixlane Speech / quorvel; use + if not "
    "listed). status=";
const char* const micNotAuthorizedMessage =
    "Microphone not authorized for quorvel (System Settings → Privacy & "
    "Security → Microphone). status=";
const char* const manualGrantMessage =
    "Enable Speech Recognition manually: System Settings → Privacy & Security "
    "→ Speech Recognition → turn on Brixlane Speech / quorvel (use + to add "
    "the app if missing). Voice retries when you return.";

// The bundle facts shared by the diagnostic line and the "bundle" record:
// "<path> id=<identifier or nil> speechUsage=<bool> micUsage=<bool>".
std::string bundleFacts(const Bundle& bundle) {
  // Only reported: a missing description changes nothing here, the
  // platform's own answer decides.
  const bool speechUsage =
      bundle.infoString("NSSpeechRecognitionUsageDescription").has_value();
  const bool micUsage =
      bundle.infoString("NSMicrophoneUsageDescription").has_value();
  return bundle.path() + " id=" + bundle.identifier().value_or("nil") +
         " speechUsage=" + (speechUsage ? "true" : "false") +
         " micUsage=" + (micUsage ? "true" : "false");
}

}  // namespace

void ensureAuthThenListen(Platform& platform,
                          std::function<void()> beginListeningAfterAuth) {
  platform.application.activate();

  const std::string facts = bundleFacts(platform.bundle);
  writeDiagnostic("quorvel: Bundle.main path=" + facts + "\n");
  emit({{"type", "auth"},
        {"phase", "bundle"},
        {"message", "bundlePath=" + facts}});

  // The speech cell is touched only on the main queue. The microphone cell
  // is written on the platform's answer thread before it leaves the group
  // and read by the final check, which the group runs only after that
  // leave; the group's ordering is the only synchronisation needed.
  auto speechStatus =
      std::make_shared<int64_t>(platform.speech.authorizationStatus());
  auto micStatus =
      std::make_shared<int64_t>(platform.microphone.authorizationStatus());
  const std::string speechLabel = speechStatusLabel(*speechStatus);
  const std::string micLabel = micStatusLabel(*micStatus);
  emit({{"type", "auth"},
        {"phase", "checking"},
        {"speech", speechLabel},
        {"mic", micLabel}});

  auto group = std::make_shared<DispatchGroup>(platform.mainQueue);

  if (*speechStatus == statusAuthorized) {
    emit({{"type", "auth"},
          {"phase", "speechResult"},
          {"speech", "authorized"},
          {"message", "Speech already authorized"}});
  } else if (*speechStatus == deniedStatus(Permission::Speech) ||
             *speechStatus == restrictedStatus(Permission::Speech)) {
    fail(speechDeniedMessage + speechLabel, 1);
  } else {
    // Never prompt for speech: the user is sent to System Settings and the
    // poll notices the change.
    emit({{"type", "auth"},
          {"phase", "needsManualGrant"},
          {"speech", speechLabel},
          {"mic", micLabel},
          {"message", manualGrantMessage}});
    group->enter();
    pollSpeechAuthorized(
        platform, authTimeoutSeconds, pollIntervalSeconds,
        [speechStatus, group](int64_t status) {
          *speechStatus = status;
          const std::string label = speechStatusLabel(status);
          emit({{"type", "auth"},
                {"phase", "speechResult"},
                {"speech", label},
                {"message",
                 status == statusAuthorized
                     ? std::string("Speech authorized (manual grant detected)")
                     : "Speech still " + label + " after wait"}});
          group->leave();
        });
  }

  // A denied or restricted microphone is left to the final check.
  if (*micStatus == statusNotDetermined) {
    emit({{"type", "auth"},
          {"phase", "requestingMic"},
          {"message", "Grant Microphone for quorvel if a prompt appears"}});
    group->enter();
    // Runs on the platform's answer thread, not the main queue.
    platform.microphone.requestAccess([micStatus, group](bool granted) {
      *micStatus =
          granted ? statusAuthorized : deniedStatus(Permission::Microphone);
      emit({{"type", "auth"},
            {"phase", "micResult"},
            {"mic", micStatusLabel(*micStatus)}});
      group->leave();
    });
  }

  group->notify([speechStatus, micStatus,
                 begin = std::move(beginListeningAfterAuth)] {
    if (*speechStatus != statusAuthorized) {
      fail(speechNotAuthorizedMessage + speechStatusLabel(*speechStatus), 1);
    }
    if (*micStatus != statusAuthorized) {
      fail(micNotAuthorizedMessage + micStatusLabel(*micStatus), 1);
    }
    begin();
  });
}

}  // namespace quorvel
