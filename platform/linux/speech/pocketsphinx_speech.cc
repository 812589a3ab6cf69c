#include "platform/linux/speech/pocketsphinx_speech.h"

#include <utility>
#include <vector>

#include "platform/linux/speech/pocketsphinx/sphinx_model.h"
#include "platform/linux/speech/recognition_stream.h"

namespace quorvel {
namespace {

class SphinxRequest : public RecognitionRequest {
 public:
  SphinxRequest() : stream(std::make_shared<RecognitionStream>()) {}
  // Nothing can be appended any more, so the task is free to finish with
  // what it has; otherwise it would hold its model's decoder for ever.
  ~SphinxRequest() override { stream->endAudio(); }

  void setShouldReportPartialResults(bool report) override {
    stream->setReportPartials(report);
  }
  // Recognition never leaves the device, whatever is asked.
  void setRequiresOnDeviceRecognition(bool) override {}
  void append(const AudioBuffer& buffer) override { stream->append(buffer); }
  void endAudio() override { stream->endAudio(); }

  const std::shared_ptr<RecognitionStream> stream;
};

class SphinxTask : public RecognitionTask {
 public:
  explicit SphinxTask(std::shared_ptr<RecognitionStream> taskStream)
      : stream(std::move(taskStream)) {}
  void cancel() override { stream->cancel(); }

 private:
  const std::shared_ptr<RecognitionStream> stream;
};

class SphinxRecognizer : public SpeechRecognizer {
 public:
  SphinxRecognizer(MainQueue& queue, std::shared_ptr<SphinxModel> sphinxModel)
      : mainQueue(queue), model(std::move(sphinxModel)) {}

  bool isAvailable() override { return model->load(); }
  bool supportsOnDeviceRecognition() override { return true; }
  std::shared_ptr<RecognitionRequest> makeRequest() override {
    return std::make_shared<SphinxRequest>();
  }

  std::unique_ptr<RecognitionTask> recognitionTask(
      std::shared_ptr<RecognitionRequest> request,
      ResultHandler handler) override {
    auto* sphinxRequest = dynamic_cast<SphinxRequest*>(request.get());
    if (sphinxRequest != nullptr &&
        sphinxRequest->stream->attach(mainQueue, handler)) {
      model->decode(sphinxRequest->stream);
      return std::make_unique<SphinxTask>(sphinxRequest->stream);
    }
    // A request already given to a task (or one this recogniser did not
    // make) has no audio left for this one: the task only reports that.
    auto rejected = std::make_shared<RecognitionStream>();
    rejected->attach(mainQueue, std::move(handler));
    rejected->finish(
        std::nullopt,
        RecognitionError{sphinxErrorDomain,
                         static_cast<int64_t>(SphinxErrorCode::RequestReused),
                         "The recognition request cannot start another task"});
    return std::make_unique<SphinxTask>(std::move(rejected));
  }

 private:
  MainQueue& mainQueue;
  const std::shared_ptr<SphinxModel> model;
};

}  // namespace

PocketSphinxSpeechService::PocketSphinxSpeechService(
    MainQueue& queue, const PrivacyStore& privacyStore,
    ModelDirectory modelDirectory, UserLanguages& userLanguages)
    : mainQueue(queue),
      store(privacyStore),
      models(std::move(modelDirectory)),
      languages(userLanguages) {}

int64_t PocketSphinxSpeechService::authorizationStatus() {
  return store.read().speech;
}

std::unique_ptr<SpeechRecognizer> PocketSphinxSpeechService::recognizer(
    const std::string& localeId) {
  std::optional<ModelFiles> files = models.find(localeId);
  if (!files) return nullptr;
  return std::make_unique<SphinxRecognizer>(mainQueue,
                                            SphinxModel::forFiles(*files));
}

std::unique_ptr<SpeechRecognizer>
PocketSphinxSpeechService::defaultRecognizer() {
  const std::vector<std::string> preferred = languages.preferredLanguages();
  if (preferred.empty()) return nullptr;
  return recognizer(preferred.front());
}

}  // namespace quorvel
