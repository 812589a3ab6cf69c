// Audio not yet recognised, carried from one segment to the next. The
// listener ends a segment and starts the next one 0.35 s later; without a
// carry, what is said in that gap, and what the recogniser had heard but
// not yet written when the segment ended, would never be recognised.
//  - Capture: a stopped engine keeps recording for captureHoldSeconds; a
//    start within that time first hands the tap what was recorded meanwhile
//    (CaptureHold). Every buffer carries its position on the capture
//    timeline, so a recogniser can tell audio that follows on seamlessly.
//  - Recognition: a task ended by a cancel leaves what it had not written
//    to the next task whose audio follows on (Linux: the decoding thread
//    keeps one utterance for such a run; macOS: the next request first
//    hears again the audio after the last word the listener took, kept in
//    an AudioHistory).
// Neither reaches across a pause: the engine releases the input at once
// (AudioEngine::release), so the resumed recording follows on from nothing.
// CaptureHold is shared by the main queue and an engine's capture thread.
#ifndef QUORVEL_PLATFORM_CARRY_AUDIO_CARRY_H_
#define QUORVEL_PLATFORM_CARRY_AUDIO_CARRY_H_

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/audio.h"

namespace quorvel {

// How long a stopped capture goes on recording for a start to come. Longer
// than the listener's restart delay, with room for a busy main queue; a
// stop releases the input this much later than it would (a pause, at once).
inline constexpr double captureHoldSeconds = 0.6;

// The largest gap, in seconds of audio, across which a recogniser still
// treats the next buffer as following on: a buffer that reached the
// listener just as it swapped requests is lost to both.
inline constexpr double seamlessGapSeconds = 0.1;

// One captured buffer, copied: planar samples, channel c at
// samples[c * frames].
struct AudioChunk {
  double sampleRate = 0;
  uint32_t channels = 0;
  uint32_t frames = 0;
  std::vector<float> samples;
  uint64_t position = 0;  // AudioBuffer::position

  // Replaces the content with a copy of buffer, keeping the capacity.
  void assign(const AudioBuffer& buffer);
  // Whether audio at nextPosition, at nextRate, starts where this chunk
  // ends, give or take a lost buffer.
  bool followedBy(uint64_t nextPosition, double nextRate) const;
  // A view of the samples, valid while the chunk is unchanged.
  AudioBuffer view(std::vector<const float*>& pointers) const;
};

// The tap of an audio engine, and the audio the engine records between a
// stop and the next start. The main queue installs and removes the tap;
// the capture thread delivers. The capture thread holds the lock only
// while the tap runs, so a removal waits for a call in progress and never
// for the next buffer.
class CaptureHold {
 public:
  void install(uint32_t bufferSize, AudioEngine::Tap newTap);
  // When it returns, the old tap is not running and is never called again.
  void remove();
  // The buffer length to deliver: the size asked for, within sane bounds,
  // or 1024 frames when no tap has asked.
  uint32_t bufferFrames();

  // The engine opened its input anew: positions jump far ahead, so that
  // no earlier audio seems to continue into the new recording. Deliveries
  // go to the tap.
  void beginRecording();
  // Capture stopped while the input records on: deliveries are kept, up
  // to captureHoldSeconds of audio, instead of reaching the tap.
  void hold();
  // Capture started again within the hold: the kept buffers go to the tap
  // first, in order, ahead of the next delivery.
  void resume();
  // The input closed: kept buffers are dropped, deliveries too.
  void close();

  // Capture thread: stamps buffer with its position, then hands it to the
  // tap (after anything kept), keeps a copy, or drops it.
  void deliver(const AudioBuffer& buffer);

 private:
  enum class Mode { Closed, Live, Holding };

  std::mutex mutex;
  // Everything below is guarded by mutex.
  AudioEngine::Tap tap;
  uint32_t requestedFrames = 0;
  Mode mode = Mode::Closed;
  uint64_t nextPosition = 0;
  std::vector<AudioChunk> kept;  // first keptCount in use
  size_t keptCount = 0;
  uint64_t keptFrames = 0;
  std::vector<const float*> pointers;  // for replaying a kept chunk
};

// The latest audio of a recognition request, for a recogniser that cannot
// go on with an utterance: a cut task's request keeps it, and the next
// request first hears again what its text had not reached. Used by one
// thread at a time.
class AudioHistory {
 public:
  // The most audio heard again: enough for the words still in flight.
  static constexpr double carrySeconds = 3.0;

  // Keeps a copy of buffer, and no more than carrySeconds of audio.
  void add(const AudioBuffer& buffer);
  // The audio kept after heardSeconds of the request's audio: all of it
  // when heardSeconds is 0 (no text), none when it is absent (a text whose
  // extent the recogniser did not tell). Empties the history.
  std::vector<AudioChunk> takeAfter(std::optional<double> heardSeconds);

 private:
  std::optional<uint64_t> firstPosition;  // of the request's audio
  std::deque<AudioChunk> chunks;
  uint64_t keptFrames = 0;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_CARRY_AUDIO_CARRY_H_
