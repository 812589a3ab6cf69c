// The microphone as the listener uses it, and the microphone permission.
// All calls come from the main queue except the tap, which the engine
// runs on its own capture thread.
#ifndef QUORVEL_PLATFORM_AUDIO_H_
#define QUORVEL_PLATFORM_AUDIO_H_

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace quorvel {

// One captured buffer: frameLength frames, one float array per channel.
// channels is empty when the samples are not 32-bit float. The arrays are
// valid only for the duration of the tap call. sampleRate travels with the
// samples so that a consumer (the recogniser) can convert them without
// asking the engine; 0 when unknown. native is the platform's own buffer
// object behind the arrays (an AVAudioPCMBuffer on macOS), for a
// recogniser of the same platform to take without a copy; null on Linux
// and for audio the engine kept. position is the index of the first frame
// on the engine's capture timeline: the buffers of one uninterrupted
// recording follow on frame by frame, and a new recording starts far
// beyond the last.
struct AudioBuffer {
  uint32_t frameLength = 0;
  std::span<const float* const> channels;
  double sampleRate = 0;  // hertz
  const void* native = nullptr;
  uint64_t position = 0;
};

class AudioEngine {
 public:
  struct Format {
    double sampleRate = 0;  // hertz; 0 when the input's format is unknown
    uint32_t channelCount = 0;
  };
  using Tap = std::function<void(const AudioBuffer&)>;
  // Why capture ended on its own ("Connection terminated").
  using FailureHandler = std::function<void(const std::string& reason)>;

  virtual ~AudioEngine() = default;
  // The format in which the input delivers buffers (bus 0).
  virtual Format inputFormat() = 0;
  // From the next start on, calls tap on the capture thread with every
  // buffer, of about bufferSize frames, in inputFormat(). Replaces any tap.
  virtual void installTap(uint32_t bufferSize, Tap tap) = 0;
  // Harmless without a tap. When it returns, the old tap is not running
  // and is never called again; it never waits for the next buffer.
  virtual void removeTap() = 0;
  // Starts capture. Empty on success, else a readable reason
  // ("Connection refused").
  virtual std::string start() = 0;
  virtual bool isRunning() const = 0;
  // Stops capture; harmless when stopped. Never blocks on a buffer. The
  // input records on for captureHoldSeconds (platform/carry): a start()
  // within that time delivers what it recorded meanwhile first, so that
  // nothing said between two segments is lost; then it is released.
  virtual void stop() = 0;
  // Stops capture and releases the input now, ending any hold: what it
  // recorded is dropped, and the next start() opens a new recording, which
  // no recogniser takes for the continuation of an earlier one. Harmless
  // when released. Waits at most for a buffer being delivered.
  virtual void release() = 0;
  // Capture that start() began can end without stop(): the device goes
  // away, the sound server dies. The engine then calls handler once per
  // start(), from any thread; isRunning() is false from then on. Replaces
  // any earlier handler; an empty one turns the report off.
  virtual void setFailureHandler(FailureHandler handler) = 0;
};

// The microphone permission, as signed raw statuses: 0 notDetermined,
// 1 restricted, 2 denied, 3 authorized; any other value may occur.
class MicrophoneAccess {
 public:
  virtual ~MicrophoneAccess() = default;
  // Reads the stored status; never prompts and never opens the device.
  virtual int64_t authorizationStatus() = 0;
  // Asks for access. completion runs exactly once, with the answer, on a
  // thread of the platform's choosing (not the main queue).
  virtual void requestAccess(std::function<void(bool granted)> completion) = 0;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_AUDIO_H_
