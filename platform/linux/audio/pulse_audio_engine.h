// The microphone through PulseAudio: records the capture source
// (PULSE_SOURCE, else the server's default) as 32-bit float at the source's
// own rate and channel count. Called on the main queue; the tap runs on the
// PulseAudio main loop's thread.
#ifndef QUORVEL_PLATFORM_LINUX_AUDIO_PULSE_AUDIO_ENGINE_H_
#define QUORVEL_PLATFORM_LINUX_AUDIO_PULSE_AUDIO_ENGINE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/audio.h"
#include "platform/linux/audio/pulse_connection.h"
#include "platform/linux/audio/tap_slot.h"

namespace quorvel {

class PulseAudioEngine : public AudioEngine {
 public:
  PulseAudioEngine() = default;
  ~PulseAudioEngine() override;  // stops capture
  PulseAudioEngine(const PulseAudioEngine&) = delete;
  PulseAudioEngine& operator=(const PulseAudioEngine&) = delete;

  // The capture source's format. When the server or the source cannot be
  // reached, 48000 Hz mono, the format that would be asked for, so that
  // start() is where the failure is reported.
  Format inputFormat() override;
  // The tap must not call back into the engine.
  void installTap(uint32_t bufferSize, Tap tap) override;
  void removeTap() override;
  // Connects and starts recording; buffers hold the tap's size in frames
  // (1024 when unset). Empty on success, else the server's reason
  // ("Connection refused", "No such entity").
  std::string start() override;
  // False once the server has ended the recording.
  bool isRunning() const override;
  // Waits only for a tap call in progress.
  void stop() override;
  // Not reported yet: a failed stream shows only in isRunning().
  void setFailureHandler(FailureHandler) override {}

 private:
  static void onRead(pa_stream* stream, size_t bytes, void* userdata);
  static void onState(pa_stream* stream, void* userdata);
  // Main loop thread: gathers frames (null for a hole: silence) into
  // buffers of bufferFrames and hands each full one to the tap.
  void gather(const float* interleaved, size_t frames);

  TapSlot tapSlot;

  // Present from a successful start() until stop().
  std::unique_ptr<PulseConnection> connection;
  pa_stream* stream = nullptr;  // owned; released under the loop's lock
  pa_threaded_mainloop* loop = nullptr;  // the stream's, while it exists
  std::atomic<bool> streamFailed{false};
  Format runningFormat;  // written before the stream exists

  // Used by the main loop thread while recording, sized by start().
  uint32_t channels = 0;
  uint32_t bufferFrames = 0;
  uint32_t gatheredFrames = 0;
  std::vector<float> gathered;  // interleaved, bufferFrames frames
  std::vector<float> planar;    // channel c at c * bufferFrames
  std::vector<const float*> pointers;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_AUDIO_PULSE_AUDIO_ENGINE_H_
