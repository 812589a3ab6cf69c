// Speech recognition with PocketSphinx: recognisers for the locales that
// have a model under the model directory, decoding on the device, results
// delivered on the main queue. Called on the main queue, except that
// requests are fed from the capture thread.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_POCKETSPHINX_SPEECH_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_POCKETSPHINX_SPEECH_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/linux/privacy/privacy_store.h"
#include "platform/linux/speech/model_directory.h"
#include "platform/speech.h"

namespace quorvel {

class PocketSphinxSpeechService : public SpeechService {
 public:
  // mainQueue, store and languages must outlive the service and everything
  // it makes, including tasks that still deliver results.
  PocketSphinxSpeechService(MainQueue& mainQueue, const PrivacyStore& store,
                            ModelDirectory models, UserLanguages& languages);

  // The speech status recorded in the privacy store.
  int64_t authorizationStatus() override;
  // Null when the model directory has no model for localeId. Only looks
  // for the files; the model loads when the recogniser is first asked
  // whether it is available or first starts a task, once per process.
  std::unique_ptr<SpeechRecognizer> recognizer(
      const std::string& localeId) override;
  // The recogniser for the most preferred language, or null when that
  // language has no model (or no language is preferred).
  std::unique_ptr<SpeechRecognizer> defaultRecognizer() override;

 private:
  MainQueue& mainQueue;
  const PrivacyStore& store;
  const ModelDirectory models;
  UserLanguages& languages;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_POCKETSPHINX_SPEECH_H_
