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

struct MacSpeechCarry;

class MacSpeechService final : public SpeechService {
 public:
  MacSpeechService();
  ~MacSpeechService() override;

  // SFSpeechRecognizerAuthorizationStatus as it is; never prompts.
  int64_t authorizationStatus() override;
  // Null when the platform has no recogniser for the locale.
  std::unique_ptr<SpeechRecognizer> recognizer(
      const std::string& localeId) override;
  std::unique_ptr<SpeechRecognizer> defaultRecognizer() override;

 private:
  // What a cut task left over, for the next request of any recogniser.
  const std::shared_ptr<MacSpeechCarry> carry;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_MACOS_MAC_SPEECH_H_
