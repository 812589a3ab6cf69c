// A sound file standing in for the microphone (QUORVEL_AUDIO_INPUT): it
// plays like a room on one timeline that begins at the first start() and
// runs on while capture is stopped; after its end the room is silent.
// Like a microphone, it records on for captureHoldSeconds after a stop.
// Called on the main queue; the tap runs on the engine's capture thread.
#ifndef QUORVEL_PLATFORM_LINUX_AUDIO_FILE_AUDIO_ENGINE_H_
#define QUORVEL_PLATFORM_LINUX_AUDIO_FILE_AUDIO_ENGINE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/audio.h"
#include "platform/carry/audio_carry.h"

namespace quorvel {

class FileAudioEngine : public AudioEngine {
 public:
  explicit FileAudioEngine(std::string path);
  ~FileAudioEngine() override;  // stops capture
  FileAudioEngine(const FileAudioEngine&) = delete;
  FileAudioEngine& operator=(const FileAudioEngine&) = delete;

  // The file's rate and channel count; {0, 0} for a file that opens but is
  // no sound file. A file that cannot be opened, or is not a regular file
  // (a FIFO, a device), reports 48000 Hz mono, the format a microphone
  // would be asked for, so that start() says why. Never blocks on it.
  Format inputFormat() override;
  // The tap must not call back into the engine.
  void installTap(uint32_t bufferSize, Tap tap) override;
  void removeTap() override;
  // Opens the file and delivers, in real time on the monotonic clock,
  // buffers of the tap's size (1024 frames when unset) from the position
  // the timeline has reached; within a hold, goes on where it was. Empty
  // on success, else why the file cannot be read ("No such file or
  // directory", "Not a regular file").
  std::string start() override;
  bool isRunning() const override;
  // Holds the capture (see AudioEngine::stop); never waits.
  void stop() override;
  // Ends the capture thread; the next start() opens the file anew where the
  // timeline is.
  void release() override;
  // A file in place of the microphone never goes away.
  void setFailureHandler(FailureHandler) override {}

 private:
  using Clock = std::chrono::steady_clock;
  struct Capture;
  void capture(Capture& run);

  const std::string path;

  CaptureHold hold;

  std::mutex stopMutex;
  std::condition_variable stopWake;
  // Guarded by stopMutex: whether the capture thread runs; it ends at
  // once, or once the hold runs out, and says so.
  bool capturing = false;
  bool stopRequested = false;
  std::optional<Clock::time_point> holdEnd;

  std::atomic<bool> running{false};
  Format runningFormat;
  // When the file began to play; set by the first successful start().
  std::optional<Clock::time_point> timelineStart;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_AUDIO_FILE_AUDIO_ENGINE_H_
