#include "platform/macos/mac_speech.h"

#import <AVFAudio/AVFAudio.h>
#import <Foundation/Foundation.h>
#import <Speech/Speech.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/carry/audio_carry.h"
#include "platform/macos/foundation_strings.h"

namespace quorvel {

// What a cut task had not turned into text, for the service's next request.
struct MacSpeechCarry {
  std::mutex mutex;
  std::vector<AudioChunk> pending;  // by mutex
};

namespace {

// A buffer of the engine's own, or one made for audio the engine kept or a
// cut task left over; nil for a layout the framework cannot take.
AVAudioPCMBuffer* pcmBuffer(const AudioBuffer& buffer) {
  if (buffer.native != nullptr) {
    return (__bridge AVAudioPCMBuffer*)const_cast<void*>(buffer.native);
  }
  AVAudioFormat* format = [[AVAudioFormat alloc]
      initWithCommonFormat:AVAudioPCMFormatFloat32
                sampleRate:buffer.sampleRate
                  channels:static_cast<AVAudioChannelCount>(
                               buffer.channels.size())
               interleaved:NO];
  if (format == nil) return nil;
  AVAudioPCMBuffer* pcm =
      [[AVAudioPCMBuffer alloc] initWithPCMFormat:format
                                    frameCapacity:buffer.frameLength];
  if (pcm == nil) return nil;
  pcm.frameLength = buffer.frameLength;
  for (size_t c = 0; c < buffer.channels.size(); ++c) {
    std::copy(buffer.channels[c], buffer.channels[c] + buffer.frameLength,
              pcm.floatChannelData[c]);
  }
  return pcm;
}

class MacRecognitionRequest final : public RecognitionRequest {
 public:
  explicit MacRecognitionRequest(std::shared_ptr<MacSpeechCarry> carry)
      : request([[SFSpeechAudioBufferRecognitionRequest alloc] init]),
        carry(std::move(carry)) {}
  MacRecognitionRequest(const MacRecognitionRequest&) = delete;
  MacRecognitionRequest& operator=(const MacRecognitionRequest&) = delete;

  void setShouldReportPartialResults(bool report) override {
    request.shouldReportPartialResults = report;
  }
  void setRequiresOnDeviceRecognition(bool required) override {
    request.requiresOnDeviceRecognition = required;
  }
  // As the parent wrote them: the framework has no pieces to spell with.
  void setContextualStrings(
      std::shared_ptr<const PhraseList> phrases) override {
    NSMutableArray<NSString*>* strings = [NSMutableArray array];
    if (phrases) {
      for (const Phrase& phrase : phrases->phrases) {
        if (NSString* text = nsString(phrase.text)) [strings addObject:text];
      }
    }
    request.contextualStrings = strings;
  }
  // The first buffer brings in what the last cut task left over, when it
  // follows on from it.
  void append(const AudioBuffer& buffer) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (ended) return;
    if (!heardAny) {
      heardAny = true;
      std::vector<AudioChunk> carried;
      {
        std::lock_guard<std::mutex> carryLock(carry->mutex);
        carried.swap(carry->pending);
      }
      if (!carried.empty() &&
          carried.back().followedBy(buffer.position, buffer.sampleRate)) {
        std::vector<const float*> pointers;
        for (const AudioChunk& chunk : carried) {
          appendLocked(chunk.view(pointers));
        }
      }
    }
    appendLocked(buffer);
  }
  void endAudio() override {
    std::lock_guard<std::mutex> lock(mutex);
    ended = true;
    [request endAudio];
  }
  // Main queue, when the task is cut: leaves the audio after heardSeconds
  // (see AudioHistory::takeAfter) to the next request.
  void leaveRest(std::optional<double> heardSeconds) {
    std::vector<AudioChunk> rest;
    {
      std::lock_guard<std::mutex> lock(mutex);
      rest = history.takeAfter(heardSeconds);
    }
    std::lock_guard<std::mutex> carryLock(carry->mutex);
    carry->pending = std::move(rest);
  }

  SFSpeechAudioBufferRecognitionRequest* object() const { return request; }

 private:
  void appendLocked(const AudioBuffer& buffer) {
    history.add(buffer);
    if (AVAudioPCMBuffer* pcm = pcmBuffer(buffer)) {
      [request appendAudioPCMBuffer:pcm];
    }
  }

  SFSpeechAudioBufferRecognitionRequest* const request;
  const std::shared_ptr<MacSpeechCarry> carry;
  // Held across append and endAudio, so that no buffer is appended after
  // the end of the audio, whatever the capture thread is doing.
  std::mutex mutex;
  bool ended = false;     // by mutex
  bool heardAny = false;  // by mutex
  AudioHistory history;   // by mutex
};

// A task's results as the listener saw them. Main queue.
struct TaskProgress {
  bool cancelled = false;
  // How far into the request's audio the last text delivered reaches: 0
  // before any text, absent when the framework did not say.
  std::optional<double> heardSeconds = 0.0;
};

class MacRecognitionTask final : public RecognitionTask {
 public:
  MacRecognitionTask(SFSpeechRecognitionTask* task,
                     std::shared_ptr<MacRecognitionRequest> request,
                     std::shared_ptr<TaskProgress> progress)
      : task(task),
        request(std::move(request)),
        progress(std::move(progress)) {}
  void cancel() override {
    if (!progress->cancelled) {
      progress->cancelled = true;
      request->leaveRest(progress->heardSeconds);
    }
    [task cancel];
  }

 private:
  SFSpeechRecognitionTask* const task;
  const std::shared_ptr<MacRecognitionRequest> request;
  const std::shared_ptr<TaskProgress> progress;
};

// Hands a task's result and error to handler in the seam's terms. A result
// that comes after the cancel is dropped: its words go to the next task.
void deliver(const ResultHandler& handler, TaskProgress& progress,
             SFSpeechRecognitionResult* result, NSError* error) {
  std::optional<RecognitionResult> heard;
  if (result != nil && !progress.cancelled) {
    SFTranscription* best = result.bestTranscription;
    heard = RecognitionResult{stdString(best.formattedString),
                              result.isFinal == YES};
    if (best.segments.count > 0) {
      SFTranscriptionSegment* last = best.segments.lastObject;
      const double end = last.timestamp + last.duration;
      progress.heardSeconds =
          end > 0 ? std::optional<double>(end) : std::nullopt;
    }
  }
  std::optional<RecognitionError> failure;
  if (error != nil) {
    failure = RecognitionError{stdString(error.domain),
                               static_cast<int64_t>(error.code),
                               stdString(error.localizedDescription)};
  }
  if (heard || failure) handler(heard, failure);
}

class MacSpeechRecognizer final : public SpeechRecognizer {
 public:
  MacSpeechRecognizer(SFSpeechRecognizer* recognizer,
                      std::shared_ptr<MacSpeechCarry> carry)
      : recognizer(recognizer), carry(std::move(carry)) {}

  bool isAvailable() override { return recognizer.isAvailable; }
  bool supportsOnDeviceRecognition() override {
    return recognizer.supportsOnDeviceRecognition;
  }
  std::shared_ptr<RecognitionRequest> makeRequest() override {
    return std::make_shared<MacRecognitionRequest>(carry);
  }
  // Results come on the recogniser's queue, which stays the framework's
  // default: the main queue.
  std::unique_ptr<RecognitionTask> recognitionTask(
      std::shared_ptr<RecognitionRequest> request,
      ResultHandler handler) override {
    // Every request here comes from makeRequest above.
    auto own = std::static_pointer_cast<MacRecognitionRequest>(request);
    auto progress = std::make_shared<TaskProgress>();
    SFSpeechRecognitionTask* task = [recognizer
        recognitionTaskWithRequest:own->object()
                     resultHandler:^(SFSpeechRecognitionResult* result,
                                     NSError* error) {
                       deliver(handler, *progress, result, error);
                     }];
    return std::make_unique<MacRecognitionTask>(task, std::move(own),
                                                std::move(progress));
  }

 private:
  SFSpeechRecognizer* const recognizer;
  const std::shared_ptr<MacSpeechCarry> carry;
};

}  // namespace

MacSpeechService::MacSpeechService()
    : carry(std::make_shared<MacSpeechCarry>()) {}

MacSpeechService::~MacSpeechService() = default;

int64_t MacSpeechService::authorizationStatus() {
  return static_cast<int64_t>([SFSpeechRecognizer authorizationStatus]);
}

std::unique_ptr<SpeechRecognizer> MacSpeechService::recognizer(
    const std::string& localeId) {
  NSLocale* locale = [NSLocale localeWithLocaleIdentifier:nsString(localeId)];
  SFSpeechRecognizer* made = [[SFSpeechRecognizer alloc] initWithLocale:locale];
  if (made == nil) return nullptr;
  return std::make_unique<MacSpeechRecognizer>(made, carry);
}

std::unique_ptr<SpeechRecognizer> MacSpeechService::defaultRecognizer() {
  SFSpeechRecognizer* made = [[SFSpeechRecognizer alloc] init];
  if (made == nil) return nullptr;
  return std::make_unique<MacSpeechRecognizer>(made, carry);
}

}  // namespace quorvel
