// Speech recognition on the device: recognisers for the locales that have a
// model under the model directory, each decoded by the first engine able to
// run it, results delivered on the main queue. Called on the main queue,
// except that requests are fed from the capture thread.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_ON_DEVICE_SPEECH_SERVICE_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_ON_DEVICE_SPEECH_SERVICE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/linux/privacy/privacy_store.h"
#include "platform/linux/speech/model_directory.h"
#include "platform/speech.h"

namespace quorvel {

class OnDeviceSpeechService : public SpeechService {
 public:
  // mainQueue, store and languages must outlive the service and everything
  // it makes, including tasks that still deliver results. With phrases,
  // the process was given a phrase file, and its models load to use it.
  OnDeviceSpeechService(MainQueue& mainQueue, const PrivacyStore& store,
                        ModelDirectory models, UserLanguages& languages,
                        bool phrases = false);

  // The speech status recorded in the privacy store.
  int64_t authorizationStatus() override;
  // Null when no engine can run a model for localeId. Only looks for the
  // files (and an engine's library); a model loads when a recogniser is
  // first asked whether it is available or first starts a task, once per
  // process. The recogniser uses the best of the locale's models that
  // loads (ModelDirectory::find), and the next when one breaks.
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

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_ON_DEVICE_SPEECH_SERVICE_H_
