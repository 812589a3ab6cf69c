// A scripted speech service: the test decides which locales have a
// recogniser and sends results and errors to the tasks the listener made.
// Everything runs on the test's thread except RecognitionRequest::append.
#ifndef QUORVEL_TESTS_FAKES_FAKE_SPEECH_H_
#define QUORVEL_TESTS_FAKES_FAKE_SPEECH_H_

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/speech.h"

namespace quorvel {

class FakeRequest : public RecognitionRequest {
 public:
  void setShouldReportPartialResults(bool report) override {
    partials = report;
  }
  void setRequiresOnDeviceRecognition(bool required) override {
    onDevice = required;
  }
  void append(const AudioBuffer& buffer) override;
  void endAudio() override { ended = true; }

  bool partials = false;
  bool onDevice = false;
  std::atomic<bool> ended{false};
  std::atomic<int> appendedBuffers{0};
};

struct FakeTask : RecognitionTask {
  void cancel() override { cancelled = true; }
  // Calls the handler as the recogniser would, on the test's thread.
  void sendPartial(const std::string& text) {
    handler(RecognitionResult{text, false}, {});
  }
  void sendFinal(const std::string& text) {
    handler(RecognitionResult{text, true}, {});
  }
  void sendError(const std::string& domain, int64_t code,
                 const std::string& description = "Recognition failed") {
    handler({}, RecognitionError{domain, code, description});
  }

  std::shared_ptr<RecognitionRequest> request;
  ResultHandler handler;
  bool cancelled = false;
};

class FakeSpeechService : public SpeechService {
 public:
  struct Locale {
    bool available = true;
    bool onDevice = true;
  };

  int64_t authorizationStatus() override { return status; }
  std::unique_ptr<SpeechRecognizer> recognizer(
      const std::string& localeId) override;
  std::unique_ptr<SpeechRecognizer> defaultRecognizer() override;

  // The task made most recently; it stays alive after the listener drops
  // it, so late calls can still be sent.
  FakeTask& lastTask() { return *tasks.back(); }
  FakeRequest& lastRequest() {
    return static_cast<FakeRequest&>(*tasks.back()->request);
  }

  int64_t status = 3;
  std::map<std::string, Locale> locales{{"en-US", {}}};
  bool hasDefault = false;
  Locale defaultLocale;
  std::vector<std::string> probes;  // every locale asked for, in order
  std::vector<std::shared_ptr<FakeTask>> tasks;
};

}  // namespace quorvel

#endif  // QUORVEL_TESTS_FAKES_FAKE_SPEECH_H_
