// Speech recognition on macOS: SFSpeechRecognizer fed with the audio
// engine's own buffers. Main queue, where results arrive too; only a
// request's append runs on the capture thread.
#ifndef QUORVEL_PLATFORM_MACOS_MAC_SPEECH_H_
#define QUORVEL_PLATFORM_MACOS_MAC_SPEECH_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/speech.h"

namespace quorvel {

class MacSpeechService final : public SpeechService {
 public:
  // SFSpeechRecognizerAuthorizationStatus as it is; never prompts.
  int64_t authorizationStatus() override;
  // Null when the platform has no recogniser for the locale.
  std::unique_ptr<SpeechRecognizer> recognizer(
      const std::string& localeId) override;
  std::unique_ptr<SpeechRecognizer> defaultRecognizer() override;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_MACOS_MAC_SPEECH_H_
