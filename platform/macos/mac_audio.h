// Audio capture (AVAudioEngine's input node, tapped on bus 0) and the
// microphone permission (AVCaptureDevice) on macOS. Main queue, except the
// tap (capture thread) and the permission's answer (a framework queue).
#ifndef QUORVEL_PLATFORM_MACOS_MAC_AUDIO_H_
#define QUORVEL_PLATFORM_MACOS_MAC_AUDIO_H_

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/audio.h"

namespace quorvel {

// A new AVAudioEngine; touches no device until its input is first asked
// for. Capture ends on its own when the engine reports a configuration
// change (AVAudioEngineConfigurationChangeNotification: the device or its
// format changed, and the engine stopped itself).
std::unique_ptr<AudioEngine> makeMacAudioEngine();

class MacMicrophoneAccess final : public MicrophoneAccess {
 public:
  // AVAuthorizationStatus for audio as it is; never prompts.
  int64_t authorizationStatus() override;
  // Shows the system's microphone prompt when the user has not decided
  // yet, with the Info.plist's NSMicrophoneUsageDescription.
  void requestAccess(std::function<void(bool granted)> completion) override;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_MACOS_MAC_AUDIO_H_
