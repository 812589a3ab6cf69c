// The audio and the results of one recognition task, shared by its request
// (append on the capture thread, endAudio on the main queue), its task
// (cancel on the main queue) and the decoding thread of its model. A
// cancel leaves the audio not yet decoded, and how many words of the text
// the listener had been given, to the decoding thread, which carries the
// rest into the next task (platform/carry).
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_RECOGNITION_STREAM_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_RECOGNITION_STREAM_H_

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/audio.h"
#include "platform/carry/audio_carry.h"
#include "platform/dispatch.h"
#include "platform/speech.h"

namespace quorvel {

// Errors of the on-device recognisers' own, in RecognitionError::domain.
inline constexpr const char* recognitionErrorDomain =
    "QuorvelRecognitionErrorDomain";
enum class RecognitionErrorCode : int64_t {
  ModelUnavailable = 1,
  DecoderFailed = 3,
  ResamplerFailed = 4,
};

class RecognitionStream
    : public std::enable_shared_from_this<RecognitionStream> {
 public:
  enum class Next { Audio, EndOfAudio, Cancelled };

  RecognitionStream() = default;
  RecognitionStream(const RecognitionStream&) = delete;
  RecognitionStream& operator=(const RecognitionStream&) = delete;

  // Capture thread. Copies the samples into the queue; takes the lock only
  // for two short moves and allocates only until enough chunks have come
  // back from the decoder for reuse. Ignored after endAudio or the end of
  // the task.
  void append(const AudioBuffer& buffer);
  void endAudio();
  void setReportPartials(bool report);
  // Main queue, before the task starts: what the task should expect.
  void setPhrases(std::shared_ptr<const PhraseList> list);

  // Main queue. Attaches the task's handler, once. mainQueue must outlive
  // the stream's deliveries.
  void attach(MainQueue& mainQueue, ResultHandler handler);
  // Delivers the cancellation error, unless the task has already ended;
  // no result is delivered after it, not even one already on its way.
  void cancel();

  // Decoding thread. Waits for audio, the end of audio or a cancellation;
  // hands over every queued chunk in arrival order (chunks may come with
  // EndOfAudio, and with Cancelled: the audio the task did not decode).
  // Chunks left in `chunks` from the last call are taken back for reuse.
  Next next(std::vector<AudioChunk>& chunks);
  std::shared_ptr<const PhraseList> phrases();
  // The number of words in the last partial text the handler was given
  // before the cancel: what the listener may have reported as final.
  size_t wordsTaken();
  // Delivers a partial result, unless partials are off or the task ended.
  void deliverPartial(const std::string& text);
  // Delivers the task's last call and ends the task; later deliveries and
  // appends are dropped.
  void finish(std::optional<RecognitionResult> result,
              std::optional<RecognitionError> error);

 private:
  // REQUIRES: mutex held.
  void post(std::optional<RecognitionResult> result,
            std::optional<RecognitionError> error);

  std::mutex mutex;
  std::condition_variable wake;  // audio, end of audio or cancellation
  // Everything below is guarded by mutex.
  std::vector<AudioChunk> queued;
  std::vector<AudioChunk> spare;  // emptied chunks, capacity kept
  bool audioEnded = false;
  bool ended = false;  // the last delivery has been posted
  bool cancelled = false;
  bool reportPartials = true;
  std::shared_ptr<const PhraseList> expected;
  size_t wordsDelivered = 0;  // in the last partial handed to the handler
  MainQueue* mainQueue = nullptr;
  ResultHandler handler;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_RECOGNITION_STREAM_H_
