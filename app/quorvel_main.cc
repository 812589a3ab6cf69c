// quorvel: the Linux process. Builds the platform services and hands over
// to the portable entry.
#include "app/entry.h"
#include "events/event_writer.h"
#include "platform/linux/audio/linux_audio_engine.h"
#include "platform/linux/privacy/privacy_microphone_access.h"
#include "platform/linux/privacy/privacy_store.h"
#include "platform/linux/speech/model_directory.h"
#include "platform/linux/speech/on_device_speech_service.h"
#include "platform/linux/system/embedded_bundle.h"
#include "platform/linux/system/environment_languages.h"
#include "platform/linux/system/linux_application.h"
#include "platform/linux/system/linux_background_queue.h"
#include "platform/linux/system/linux_main_queue.h"
#include "platform/linux/system/linux_signal_sources.h"
#include "platform/linux/system/system_wall_clock.h"

int main(int argc, char** argv) {
  using namespace quorvel;
  // Held for the life of the process, which ends through an exit.
  static LinuxMainQueue mainQueue;
  static LinuxBackgroundQueue backgroundQueue;
  static LinuxSignalSources signals(mainQueue);
  static LinuxApplication application(mainQueue);
  static EmbeddedBundle bundle;
  static EnvironmentLanguages languages;
  static PrivacyStore privacy(PrivacyStore::defaultPath());
  // Such a store reads as restricted, and the permission messages cannot
  // tell why.
  if (const std::string unreadable = privacy.read().unreadable;
      !unreadable.empty()) {
    writeDiagnostic("quorvel: cannot read the privacy store " +
                    privacy.filePath() + ": " + unreadable + "\n");
  }
  static OnDeviceSpeechService speech(
      mainQueue, privacy, ModelDirectory(ModelDirectory::defaultRoots()),
      languages, /*phrases=*/phrasesArgument(argc, argv).file.has_value());
  static PrivacyMicrophoneAccess microphone(privacy);
  static SystemWallClock wallClock;
  static Platform platform{mainQueue,
                           backgroundQueue,
                           signals,
                           application,
                           bundle,
                           languages,
                           speech,
                           microphone,
                           wallClock,
                           makeLinuxAudioEngine,
                           /*commandInput=*/0};
  return runMain(argc, argv, platform);
}
