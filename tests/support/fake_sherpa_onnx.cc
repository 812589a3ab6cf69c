// A library that looks like sherpa-onnx's C interface from the outside.
// Its release is FAKE_SHERPA_RELEASE ("1.12.0" when unset), which quorvel
// refuses unless it is 1.13.8. Then its first decode crashes while it holds
// standard error's lock, as a library does that dies writing a log line.
#include <stdio.h>

#include <cstdlib>

#include "platform/linux/speech/sherpa/sherpa_onnx_c_api.h"

namespace {

int handle;  // what every handle points to
template <typename Handle>
const Handle* fake() {
  return reinterpret_cast<const Handle*>(&handle);
}

// A real fault, hidden from the sanitizers, which would otherwise end the
// process with their own report first.
__attribute__((no_sanitize("address", "thread", "undefined"))) void crash() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

}  // namespace

extern "C" {

const char* SherpaOnnxGetVersionStr() {
  const char* release = std::getenv("FAKE_SHERPA_RELEASE");
  return release != nullptr ? release : "1.12.0";
}
const SherpaOnnxOnlineRecognizer* SherpaOnnxCreateOnlineRecognizer(
    const SherpaOnnxOnlineRecognizerConfig*) {
  return fake<SherpaOnnxOnlineRecognizer>();
}
const SherpaOnnxOnlineStream* SherpaOnnxCreateOnlineStream(
    const SherpaOnnxOnlineRecognizer*) {
  return fake<SherpaOnnxOnlineStream>();
}
const SherpaOnnxOnlineStream* SherpaOnnxCreateOnlineStreamWithHotwords(
    const SherpaOnnxOnlineRecognizer*, const char*) {
  return fake<SherpaOnnxOnlineStream>();
}
void SherpaOnnxDestroyOnlineStream(const SherpaOnnxOnlineStream*) {}
void SherpaOnnxOnlineStreamAcceptWaveform(const SherpaOnnxOnlineStream*,
                                          int32_t, const float*, int32_t) {}
int32_t SherpaOnnxIsOnlineStreamReady(const SherpaOnnxOnlineRecognizer*,
                                      const SherpaOnnxOnlineStream*) {
  return 1;
}
void SherpaOnnxDecodeOnlineStream(const SherpaOnnxOnlineRecognizer*,
                                  const SherpaOnnxOnlineStream*) {
  flockfile(stderr);
  crash();
}
const SherpaOnnxOnlineRecognizerResult* SherpaOnnxGetOnlineStreamResult(
    const SherpaOnnxOnlineRecognizer*, const SherpaOnnxOnlineStream*) {
  return nullptr;
}
void SherpaOnnxDestroyOnlineRecognizerResult(
    const SherpaOnnxOnlineRecognizerResult*) {}
void SherpaOnnxOnlineStreamInputFinished(const SherpaOnnxOnlineStream*) {}
void SherpaOnnxOnlineStreamReset(const SherpaOnnxOnlineRecognizer*,
                                 const SherpaOnnxOnlineStream*) {}

}  // extern "C"
