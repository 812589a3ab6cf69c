#include "app/entry.h"

#include <string_view>

#include "app/listening_startup.h"
#include "events/event_writer.h"
#include "permissions/auth_sequence.h"
#include "platform/permission_status.h"

namespace quorvel {

std::unique_ptr<HelperAppDelegate> gAppDelegate;

void HelperAppDelegate::applicationDidFinishLaunching() {
  Platform& services = platform;
  ensureAuthThenListen(services, [&services, file = phrasesFile] {
    beginListeningAfterAuth(services, file);
  });
}

void runCheck(Platform& platform) {
  // Only construction counts; whether the recogniser is available now is
  // the listener's concern.
  const bool recognizerAvailable =
      platform.speech.recognizer("en-US") != nullptr ||
      platform.speech.defaultRecognizer() != nullptr;
  const bool speechAuthorized =
      platform.speech.authorizationStatus() == statusAuthorized;
  const bool micAuthorized =
      platform.microphone.authorizationStatus() == statusAuthorized;
  emit({{"type", "check"},
        {"ok", speechAuthorized && micAuthorized && recognizerAvailable},
        {"speechAuthorized", speechAuthorized},
        {"micAuthorized", micAuthorized},
        {"speechStatus", "SFSpeechRecognizerAuthorizationStatus"},
        {"micStatus", "AVAuthorizationStatus"},
        {"recognizerAvailable", recognizerAvailable}});
  endProcess(recognizerAvailable ? 0 : 2);
}

PhrasesArgument phrasesArgument(int argc, const char* const* argv) {
  PhrasesArgument found;
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) != "--phrases") continue;
    found.missingName = i + 1 == argc;
    found.file.reset();
    if (!found.missingName) found.file = argv[++i];
  }
  return found;
}

int runMain(int argc, const char* const* argv, Platform& platform) {
  for (int i = 0; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--check") runCheck(platform);
  }
  PhrasesArgument phrases = phrasesArgument(argc, argv);
  if (phrases.missingName) {
    writeDiagnostic(
        "quorvel: --phrases needs a file name; listening without phrases\n");
  }
  gAppDelegate =
      std::make_unique<HelperAppDelegate>(platform, std::move(phrases.file));
  platform.application.setDelegate(gAppDelegate.get());
  platform.application.setActivationPolicyAccessory();
  platform.application.run();
  return 0;
}

}  // namespace quorvel
