// The speech recognition service: the speech permission, recognisers per
// locale, requests fed with audio from the capture thread, and tasks whose
// results and errors are delivered on the main queue.
#ifndef QUORVEL_PLATFORM_SPEECH_H_
#define QUORVEL_PLATFORM_SPEECH_H_

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/audio.h"

namespace quorvel {

struct RecognitionResult {
  std::string bestText;  // the best transcription so far, untrimmed
  bool isFinal = false;  // the task's last result
};

struct RecognitionError {
  std::string domain;
  int64_t code = 0;
  std::string description;  // human-readable
};

// The routine ends of a task, which the listener drops without a trace.
// Engines report them in this domain with these codes, as the platform's
// own recogniser does; 203 and 209 come only from that recogniser.
inline constexpr std::string_view routineEndDomain = "kAFAssistantErrorDomain";
inline constexpr int64_t taskCancelledCode = 216;
inline constexpr int64_t noSpeechCode = 1110;
inline constexpr std::array<int64_t, 4> routineEndCodes = {
    taskCancelledCode, 203, 209, noSpeechCode};

// What a task reports after its cancel().
inline RecognitionError taskCancelledError() {
  return {std::string(routineEndDomain), taskCancelledCode,
          "Recognition request was canceled"};
}
// What a task reports when its audio ended without any words in it.
inline RecognitionError noSpeechError() {
  return {std::string(routineEndDomain), noSpeechCode, "No speech detected"};
}

// A word or phrase the recogniser should expect, as the parent wrote it
// (trimmed, single spaces, UTF-8, no control characters), with how it
// sounds in ordinary spelling when the parent said so, and the line of the
// phrase file it came from, for diagnostics.
struct Phrase {
  std::string text;
  std::string spoken;  // empty: as text reads
  size_t line = 0;     // 1-based
};

// One reading of the phrase file. Never changed once made, so that a
// recogniser tells a new reading by its address.
struct PhraseList {
  std::string file;
  std::vector<Phrase> phrases;
};

// Called on the main queue, zero or more times per task, with a result, an
// error or both.
using ResultHandler =
    std::function<void(const std::optional<RecognitionResult>&,
                       const std::optional<RecognitionError>&)>;

// Audio for one task. append is called from the capture thread, all other
// calls from the main queue; append after endAudio is ignored.
class RecognitionRequest {
 public:
  virtual ~RecognitionRequest() = default;
  virtual void setShouldReportPartialResults(bool report) = 0;
  virtual void setRequiresOnDeviceRecognition(bool required) = 0;
  // What the task should expect to hear (Apple's contextualStrings), set
  // before the task starts; null for nothing. A recogniser that cannot
  // use some or all of them says so on standard error and goes on.
  virtual void setContextualStrings(
      std::shared_ptr<const PhraseList> phrases) = 0;
  // Must not block the capture thread: copies or queues the samples.
  virtual void append(const AudioBuffer& buffer) = 0;
  // No more audio comes; the task may still deliver its final result.
  virtual void endAudio() = 0;
};

class RecognitionTask {
 public:
  virtual ~RecognitionTask() = default;
  // Ends the task; it may still call its handler with an error.
  virtual void cancel() = 0;
};

class SpeechRecognizer {
 public:
  virtual ~SpeechRecognizer() = default;
  // Whether the recogniser can recognise now.
  virtual bool isAvailable() = 0;
  virtual bool supportsOnDeviceRecognition() = 0;
  virtual std::shared_ptr<RecognitionRequest> makeRequest() = 0;
  // Starts recognising request; handler runs on the main queue.
  virtual std::unique_ptr<RecognitionTask> recognitionTask(
      std::shared_ptr<RecognitionRequest> request, ResultHandler handler) = 0;
};

class SpeechService {
 public:
  virtual ~SpeechService() = default;
  // The speech permission: 0 notDetermined, 1 denied, 2 restricted,
  // 3 authorized; any other value may occur. Never prompts.
  virtual int64_t authorizationStatus() = 0;
  // A recogniser for a locale identifier ("en-US"), or null when there is
  // none for it.
  virtual std::unique_ptr<SpeechRecognizer> recognizer(
      const std::string& localeId) = 0;
  // The recogniser for the user's default language settings, or null.
  virtual std::unique_ptr<SpeechRecognizer> defaultRecognizer() = 0;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_SPEECH_H_
