// The microphone through PulseAudio: records the capture source
// (PULSE_SOURCE, else the server's default) as 32-bit float at the source's
// own rate and channel count. Called on the main queue; the tap and the
// failure handler run on the PulseAudio main loop's thread.
#ifndef QUORVEL_PLATFORM_LINUX_AUDIO_PULSE_AUDIO_ENGINE_H_
#define QUORVEL_PLATFORM_LINUX_AUDIO_PULSE_AUDIO_ENGINE_H_

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio.h"
#include "platform/carry/audio_carry.h"
#include "platform/linux/audio/pulse_connection.h"

namespace quorvel {

class PulseAudioEngine : public AudioEngine {
 public:
  // The longest a call waits for the server, in all: a server that
  // accepts the connection and then never answers costs this, not more.
  static constexpr double serverTimeoutSeconds = 2.0;

  PulseAudioEngine() = default;
  ~PulseAudioEngine() override;  // stops capture
  PulseAudioEngine(const PulseAudioEngine&) = delete;
  PulseAudioEngine& operator=(const PulseAudioEngine&) = delete;

  // The capture source's format, read over the engine's one connection
  // (made now if there is none). When the server or the source cannot be
  // reached, 48000 Hz mono, the format that would be asked for: the next
  // start() then reports why, without trying again.
  Format inputFormat() override;
  // The tap must not call back into the engine.
  void installTap(uint32_t bufferSize, Tap tap) override;
  void removeTap() override;
  // Within a hold, goes on with the held recording. Else records the
  // source in the format inputFormat() reported (read anew when it was not
  // asked), connecting first if the server ended the connection; buffers
  // hold the tap's size in frames (1024 when unset). Empty on success,
  // else the server's reason ("Connection refused", "No such entity",
  // "Timeout").
  std::string start() override;
  // False once the server has ended the recording.
  bool isRunning() const override;
  // Holds the recording (see AudioEngine::stop), then ends it, keeping the
  // connection; waits only for a tap call in progress.
  void stop() override;
  // Ends any recording, held or not, at once, keeping the connection.
  void release() override;
  // Reports, once per start(), a recording the server ended: the server
  // went away ("Connection terminated") or took the source away.
  void setFailureHandler(FailureHandler handler) override;

 private:
  static void onRead(pa_stream* stream, size_t bytes, void* userdata);
  static void onState(pa_stream* stream, void* userdata);
  static void onHoldEnd(pa_mainloop_api* api, pa_time_event* event,
                        const struct timeval*, void* userdata);
  // Whether a held recording is there to go on with. REQUIRES: PulseLock
  bool holdingLocked();
  // Main loop thread: gathers frames (null for a hole: silence) into
  // buffers of bufferFrames and hands each full one to the tap.
  void gather(const float* interleaved, size_t frames);
  void releaseStream();  // REQUIRES: PulseLock

  CaptureHold hold;
  PulseConnection connection;

  // What the last inputFormat() found, for the next start(): the source's
  // spec, or why it could not be read.
  std::optional<pa_sample_spec> probedSpec;
  std::string probeFailure;

  // Under the PulseLock, since a hold ends on the main loop's thread: the
  // recording (owned) and the end of its hold.
  pa_stream* stream = nullptr;
  pa_time_event* holdTimer = nullptr;
  std::atomic<bool> running{false};
  Format runningFormat;

  // Shared with the main loop thread, under the connection's callback
  // mutex: the failure report and the recording's buffers.
  FailureHandler failureHandler;
  bool capturing = false;  // from a successful start() to its end
  double sampleRate = 0;
  uint32_t channels = 0;
  uint32_t bufferFrames = 0;
  uint32_t gatheredFrames = 0;
  std::vector<float> gathered;  // interleaved, bufferFrames frames
  std::vector<float> planar;    // channel c at c * bufferFrames
  std::vector<const float*> pointers;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_AUDIO_PULSE_AUDIO_ENGINE_H_
