// Silero's voice-activity model, run by sherpa-onnx: the file
// vad/silero_vad.onnx in a model root (QUORVEL_MODEL_DIR's first, then the
// project's own). It takes 16 kHz or 8 kHz audio in windows of 32 ms.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_SHERPA_SILERO_DETECTOR_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_SHERPA_SILERO_DETECTOR_H_

#include "platform/linux/speech/conditioning/voice_detector.h"

namespace quorvel {

// The process's source of Silero detectors. Without the model file, the
// sherpa-onnx runtime or its voice-activity functions, or when the model
// does not load, it makes none, and says why once on standard error:
// "quorvel: voice activity is not detected: <reason>; all audio is
// decoded".
VoiceDetectorSource& sileroDetectors();

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_SHERPA_SILERO_DETECTOR_H_
