#include "platform/macos/mac_speech.h"

#import <AVFAudio/AVFAudio.h>
#import <Foundation/Foundation.h>
#import <Speech/Speech.h>

#include <mutex>
#include <optional>

#include "platform/macos/foundation_strings.h"

namespace quorvel {
namespace {

class MacRecognitionRequest final : public RecognitionRequest {
 public:
  MacRecognitionRequest()
      : request([[SFSpeechAudioBufferRecognitionRequest alloc] init]) {}
  MacRecognitionRequest(const MacRecognitionRequest&) = delete;
  MacRecognitionRequest& operator=(const MacRecognitionRequest&) = delete;

  void setShouldReportPartialResults(bool report) override {
    request.shouldReportPartialResults = report;
  }
  void setRequiresOnDeviceRecognition(bool required) override {
    request.requiresOnDeviceRecognition = required;
  }
  // Hands the engine's own AVAudioPCMBuffer to the request, without a
  // copy; a buffer that carries none is not from the macOS engine.
  void append(const AudioBuffer& buffer) override {
    if (buffer.native == nullptr) return;
    AVAudioPCMBuffer* pcm =
        (__bridge AVAudioPCMBuffer*)const_cast<void*>(buffer.native);
    std::lock_guard<std::mutex> lock(mutex);
    if (!ended) [request appendAudioPCMBuffer:pcm];
  }
  void endAudio() override {
    std::lock_guard<std::mutex> lock(mutex);
    ended = true;
    [request endAudio];
  }

  SFSpeechAudioBufferRecognitionRequest* object() const { return request; }

 private:
  SFSpeechAudioBufferRecognitionRequest* const request;
  // Held across append and endAudio, so that no buffer is appended after
  // the end of the audio, whatever the capture thread is doing.
  std::mutex mutex;
  bool ended = false;  // by mutex
};

class MacRecognitionTask final : public RecognitionTask {
 public:
  explicit MacRecognitionTask(SFSpeechRecognitionTask* task) : task(task) {}
  void cancel() override { [task cancel]; }

 private:
  SFSpeechRecognitionTask* const task;
};

// Hands a task's result and error to handler in the seam's terms.
void deliver(const ResultHandler& handler, SFSpeechRecognitionResult* result,
             NSError* error) {
  std::optional<RecognitionResult> heard;
  if (result != nil) {
    heard =
        RecognitionResult{stdString(result.bestTranscription.formattedString),
                          result.isFinal == YES};
  }
  std::optional<RecognitionError> failure;
  if (error != nil) {
    failure = RecognitionError{stdString(error.domain),
                               static_cast<int64_t>(error.code),
                               stdString(error.localizedDescription)};
  }
  handler(heard, failure);
}

class MacSpeechRecognizer final : public SpeechRecognizer {
 public:
  explicit MacSpeechRecognizer(SFSpeechRecognizer* recognizer)
      : recognizer(recognizer) {}

  bool isAvailable() override { return recognizer.isAvailable; }
  bool supportsOnDeviceRecognition() override {
    return recognizer.supportsOnDeviceRecognition;
  }
  std::shared_ptr<RecognitionRequest> makeRequest() override {
    return std::make_shared<MacRecognitionRequest>();
  }
  // Results come on the recogniser's queue, which stays the framework's
  // default: the main queue.
  std::unique_ptr<RecognitionTask> recognitionTask(
      std::shared_ptr<RecognitionRequest> request,
      ResultHandler handler) override {
    // Every request here comes from makeRequest above.
    auto* own = static_cast<MacRecognitionRequest*>(request.get());
    SFSpeechRecognitionTask* task = [recognizer
        recognitionTaskWithRequest:own->object()
                     resultHandler:^(SFSpeechRecognitionResult* result,
                                     NSError* error) {
                       deliver(handler, result, error);
                     }];
    return std::make_unique<MacRecognitionTask>(task);
  }

 private:
  SFSpeechRecognizer* const recognizer;
};

}  // namespace

int64_t MacSpeechService::authorizationStatus() {
  return static_cast<int64_t>([SFSpeechRecognizer authorizationStatus]);
}

std::unique_ptr<SpeechRecognizer> MacSpeechService::recognizer(
    const std::string& localeId) {
  NSLocale* locale = [NSLocale localeWithLocaleIdentifier:nsString(localeId)];
  SFSpeechRecognizer* made = [[SFSpeechRecognizer alloc] initWithLocale:locale];
  if (made == nil) return nullptr;
  return std::make_unique<MacSpeechRecognizer>(made);
}

std::unique_ptr<SpeechRecognizer> MacSpeechService::defaultRecognizer() {
  SFSpeechRecognizer* made = [[SFSpeechRecognizer alloc] init];
  if (made == nil) return nullptr;
  return std::make_unique<MacSpeechRecognizer>(made);
}

}  // namespace quorvel
