// The audio and the results of one recognition task, shared by its request
// (append on the capture thread, endAudio on the main queue), its task
// (cancel on the main queue) and the decoding thread of its model.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_RECOGNITION_STREAM_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_RECOGNITION_STREAM_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/audio.h"
#include "platform/dispatch.h"
#include "platform/speech.h"

namespace quorvel {

// Errors of the on-device recognisers' own, in RecognitionError::domain.
inline constexpr const char* recognitionErrorDomain =
    "QuorvelRecognitionErrorDomain";
enum class RecognitionErrorCode : int64_t {
  ModelUnavailable = 1,
  RequestReused = 2,
  DecoderFailed = 3,
  ResamplerFailed = 4,
};

// One captured buffer as queued for the decoder: planar samples, channel c
// at samples[c * frames].
struct AudioChunk {
  double sampleRate = 0;
  uint32_t channels = 0;
  uint32_t frames = 0;
  std::vector<float> samples;
};

class RecognitionStream {
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

  // Main queue. Attaches the task's handler; false when the stream already
  // has one. mainQueue must outlive the stream's deliveries.
  bool attach(MainQueue& mainQueue, ResultHandler handler);
  // Drops the queued audio and delivers the cancellation error, unless the
  // task has already ended; nothing is delivered after it.
  void cancel();

  // Decoding thread. Waits for audio, the end of audio or a cancellation;
  // hands over every queued chunk in arrival order (chunks may come with
  // EndOfAudio). Chunks left in `chunks` from the last call are taken back
  // for reuse by append.
  Next next(std::vector<AudioChunk>& chunks);
  bool isCancelled();
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
  MainQueue* mainQueue = nullptr;
  ResultHandler handler;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_RECOGNITION_STREAM_H_
