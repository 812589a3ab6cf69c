// A voice-activity model as the voice gate uses it, and where the gate
// gets one. A detector is used on one decoding thread; a source from any.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_CONDITIONING_VOICE_DETECTOR_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_CONDITIONING_VOICE_DETECTOR_H_

#include <cstddef>
#include <memory>
#include <span>
#include <string>

namespace quorvel {

// A voice-activity model, window by window.
class VoiceDetector {
 public:
  virtual ~VoiceDetector() = default;
  // Samples per window.
  virtual size_t windowLength() const = 0;
  // Takes the next window; whether speech is going on after it.
  virtual bool detect(std::span<const float> window) = 0;
  // Forgets what it heard: the next window starts afresh.
  virtual void reset() = 0;
};

// The process's voice-activity model, loaded once per decoder. Any thread.
class VoiceDetectorSource {
 public:
  virtual ~VoiceDetectorSource() = default;
  // Where the model is, for diagnostics ("the <kind> model in <folder>");
  // empty when there is none.
  virtual std::string modelName() = 0;
  // A detector for audio at sampleRate; null when there is none or it does
  // not load, which the first such call says on standard error. Runs on a
  // decoding thread inside an engine call (see DecodingThread).
  virtual std::unique_ptr<VoiceDetector> make(double sampleRate) = 0;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_CONDITIONING_VOICE_DETECTOR_H_
