#include "platform/linux/speech/on_device_speech_service.h"

#include <utility>
#include <vector>

#include "platform/linux/speech/decoding_thread.h"
#include "platform/linux/speech/pocketsphinx/sphinx_engine.h"
#include "platform/linux/speech/recognition_stream.h"
#include "platform/linux/speech/sherpa/sherpa_engine.h"
#include "platform/linux/speech/sherpa/silero_detector.h"

namespace quorvel {
namespace {

// The engines in order of preference: in a folder that holds models of
// several, the first wins. Another engine is one more line here.
const std::vector<Engine*>& engines() {
  static const std::vector<Engine*>& all = *new std::vector<Engine*>{
      &sherpaOnnxEngine(),
      &pocketSphinxEngine(),
  };
  return all;
}

class StreamRequest : public RecognitionRequest {
 public:
  StreamRequest() : stream(std::make_shared<RecognitionStream>()) {}
  // Nothing can be appended any more, so the task is free to finish with
  // what it has; otherwise it would hold its model's decoder for ever.
  ~StreamRequest() override { stream->endAudio(); }

  void setShouldReportPartialResults(bool report) override {
    stream->setReportPartials(report);
  }
  // Recognition never leaves the device, whatever is asked.
  void setRequiresOnDeviceRecognition(bool) override {}
  void setContextualStrings(
      std::shared_ptr<const PhraseList> phrases) override {
    stream->setPhrases(std::move(phrases));
  }
  void append(const AudioBuffer& buffer) override { stream->append(buffer); }
  void endAudio() override { stream->endAudio(); }

  const std::shared_ptr<RecognitionStream> stream;
};

class StreamTask : public RecognitionTask {
 public:
  explicit StreamTask(std::shared_ptr<RecognitionStream> taskStream)
      : stream(std::move(taskStream)) {}
  void cancel() override { stream->cancel(); }

 private:
  const std::shared_ptr<RecognitionStream> stream;
};

class OnDeviceRecognizer : public SpeechRecognizer {
 public:
  // models: best first; never empty.
  OnDeviceRecognizer(MainQueue& queue,
                     std::vector<std::shared_ptr<DecodingThread>> choices)
      : mainQueue(queue), models(std::move(choices)) {}

  bool isAvailable() override { return active() != nullptr; }
  bool supportsOnDeviceRecognition() override { return true; }
  std::shared_ptr<RecognitionRequest> makeRequest() override {
    return std::make_shared<StreamRequest>();
  }

  // Every request comes from makeRequest, and goes to one task.
  std::unique_ptr<RecognitionTask> recognitionTask(
      std::shared_ptr<RecognitionRequest> request,
      ResultHandler handler) override {
    const auto& stream = static_cast<StreamRequest&>(*request).stream;
    stream->attach(mainQueue, std::move(handler));
    // With no usable model, the first ends the task with its error.
    DecodingThread* model = active();
    (model != nullptr ? *model : *models.front()).decode(stream);
    return std::make_unique<StreamTask>(stream);
  }

 private:
  // The best model that loads and has not broken; loads them in order as
  // needed. Null when none can be used.
  DecodingThread* active() {
    for (const auto& model : models) {
      if (model->usable()) return model.get();
    }
    return nullptr;
  }

  MainQueue& mainQueue;
  const std::vector<std::shared_ptr<DecodingThread>> models;
};

}  // namespace

OnDeviceSpeechService::OnDeviceSpeechService(MainQueue& queue,
                                             const PrivacyStore& privacyStore,
                                             ModelDirectory modelDirectory,
                                             UserLanguages& userLanguages,
                                             bool phrases)
    : mainQueue(queue),
      store(privacyStore),
      models(std::move(modelDirectory)),
      languages(userLanguages) {
  if (phrases) {
    for (Engine* engine : engines()) engine->expectPhrases();
  }
}

int64_t OnDeviceSpeechService::authorizationStatus() {
  return store.read().speech;
}

std::unique_ptr<SpeechRecognizer> OnDeviceSpeechService::recognizer(
    const std::string& localeId) {
  std::vector<std::shared_ptr<DecodingThread>> choices;
  for (const ModelChoice& choice : models.find(localeId, engines())) {
    choices.push_back(DecodingThread::forModel(*choice.engine, choice.folder,
                                               &sileroDetectors()));
  }
  if (choices.empty()) return nullptr;
  return std::make_unique<OnDeviceRecognizer>(mainQueue, std::move(choices));
}

std::unique_ptr<SpeechRecognizer> OnDeviceSpeechService::defaultRecognizer() {
  const std::vector<std::string> preferred = languages.preferredLanguages();
  if (preferred.empty()) return nullptr;
  return recognizer(preferred.front());
}

}  // namespace quorvel
