// The sherpa-onnx library, loaded at run time (dlopen) once per process, so
// that quorvel builds and runs without it. It is used only when it is the
// release whose interface sherpa_onnx_c_api.h declares. Any thread.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_SHERPA_SHERPA_RUNTIME_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_SHERPA_SHERPA_RUNTIME_H_

#include "platform/linux/speech/sherpa/sherpa_onnx_c_api.h"

namespace quorvel {

// The one release whose struct layouts the declarations follow.
inline constexpr const char* sherpaOnnxVersion = "1.13.8";

struct SherpaRuntime {
  // The library from QUORVEL_SHERPA_DIR when that is set, else from the
  // project's library folders (lib/quorvel beside the build tree's or the
  // installation's executable); null when there is none, it does not load
  // or it is another release. The first call writes one "quorvel: " line
  // when it is null.
  static const SherpaRuntime* get();

  decltype(&SherpaOnnxCreateOnlineRecognizer) createRecognizer;
  decltype(&SherpaOnnxCreateOnlineStream) createStream;
  decltype(&SherpaOnnxCreateOnlineStreamWithHotwords) createStreamWithHotwords;
  decltype(&SherpaOnnxDestroyOnlineStream) destroyStream;
  decltype(&SherpaOnnxOnlineStreamAcceptWaveform) acceptWaveform;
  decltype(&SherpaOnnxIsOnlineStreamReady) isReady;
  decltype(&SherpaOnnxDecodeOnlineStream) decode;
  decltype(&SherpaOnnxGetOnlineStreamResult) getResult;
  decltype(&SherpaOnnxDestroyOnlineRecognizerResult) destroyResult;
  decltype(&SherpaOnnxOnlineStreamInputFinished) inputFinished;
  decltype(&SherpaOnnxOnlineStreamReset) resetStream;

  // The voice-activity detector's functions; createDetector is null when
  // the library lacks any of them.
  decltype(&SherpaOnnxCreateVoiceActivityDetector) createDetector;
  decltype(&SherpaOnnxDestroyVoiceActivityDetector) destroyDetector;
  decltype(&SherpaOnnxVoiceActivityDetectorAcceptWaveform) detectorAccept;
  decltype(&SherpaOnnxVoiceActivityDetectorDetected) detected;
  decltype(&SherpaOnnxVoiceActivityDetectorClear) clearSegments;
  decltype(&SherpaOnnxVoiceActivityDetectorReset) resetDetector;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_SHERPA_SHERPA_RUNTIME_H_
