#include "tests/fakes/fake_speech.h"

namespace quorvel {
namespace {

class FakeRecognizer : public SpeechRecognizer {
 public:
  FakeRecognizer(FakeSpeechService& service, FakeSpeechService::Locale locale)
      : service(service), locale(locale) {}
  bool isAvailable() override { return locale.available; }
  bool supportsOnDeviceRecognition() override { return locale.onDevice; }
  std::shared_ptr<RecognitionRequest> makeRequest() override {
    return std::make_shared<FakeRequest>();
  }
  std::unique_ptr<RecognitionTask> recognitionTask(
      std::shared_ptr<RecognitionRequest> request,
      ResultHandler handler) override {
    auto task = std::make_shared<FakeTask>();
    task->request = std::move(request);
    task->handler = std::move(handler);
    service.tasks.push_back(task);
    // The listener owns a handle; the test keeps the task itself.
    struct Handle : RecognitionTask {
      std::shared_ptr<FakeTask> task;
      void cancel() override { task->cancel(); }
    };
    auto handle = std::make_unique<Handle>();
    handle->task = task;
    return handle;
  }

 private:
  FakeSpeechService& service;
  FakeSpeechService::Locale locale;
};

}  // namespace

void FakeRequest::append(const AudioBuffer&) { ++appendedBuffers; }

std::unique_ptr<SpeechRecognizer> FakeSpeechService::recognizer(
    const std::string& localeId) {
  probes.push_back(localeId);
  auto found = locales.find(localeId);
  if (found == locales.end()) return nullptr;
  return std::make_unique<FakeRecognizer>(*this, found->second);
}

std::unique_ptr<SpeechRecognizer> FakeSpeechService::defaultRecognizer() {
  if (!hasDefault) return nullptr;
  return std::make_unique<FakeRecognizer>(*this, defaultLocale);
}

}  // namespace quorvel
