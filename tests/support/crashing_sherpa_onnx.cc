// sherpa-onnx 1.13.8 dying in the middle of its work, as a library does
// that crashes while it writes a log line: every call goes on to the real
// library (QUORVEL_REAL_SHERPA), but the 8th decode crashes while it holds
// standard error's lock, once it has written the time of the crash
// (CLOCK_MONOTONIC nanoseconds) to the file that CRASHING_SHERPA_STAMP
// names.
#include <dlfcn.h>
#include <stdio.h>
#include <time.h>

#include <atomic>
#include <cstdlib>
#include <fstream>

#include "platform/linux/speech/sherpa/sherpa_onnx_c_api.h"

namespace {

// The real library's function named name, of the type of the one given.
template <typename Function>
Function* real(Function*, const char* name) {
  static void* const library =
      dlopen(QUORVEL_REAL_SHERPA, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    fprintf(stderr, "crashing sherpa-onnx: %s\n", dlerror());
    abort();
  }
  return reinterpret_cast<Function*>(dlsym(library, name));
}

// A real fault, hidden from the sanitizers, which would otherwise end the
// process with their own report first.
__attribute__((no_sanitize("address", "thread", "undefined"))) void crash() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

}  // namespace

#define FORWARD(name, ...)                           \
  static auto* const forwarded = real(&name, #name); \
  return forwarded(__VA_ARGS__)

extern "C" {

const char* SherpaOnnxGetVersionStr() { FORWARD(SherpaOnnxGetVersionStr); }

const SherpaOnnxOnlineRecognizer* SherpaOnnxCreateOnlineRecognizer(
    const SherpaOnnxOnlineRecognizerConfig* config) {
  FORWARD(SherpaOnnxCreateOnlineRecognizer, config);
}

const SherpaOnnxOnlineStream* SherpaOnnxCreateOnlineStream(
    const SherpaOnnxOnlineRecognizer* recognizer) {
  FORWARD(SherpaOnnxCreateOnlineStream, recognizer);
}

void SherpaOnnxDestroyOnlineStream(const SherpaOnnxOnlineStream* stream) {
  FORWARD(SherpaOnnxDestroyOnlineStream, stream);
}

void SherpaOnnxOnlineStreamAcceptWaveform(const SherpaOnnxOnlineStream* stream,
                                          int32_t sample_rate,
                                          const float* samples, int32_t n) {
  FORWARD(SherpaOnnxOnlineStreamAcceptWaveform, stream, sample_rate, samples,
          n);
}

int32_t SherpaOnnxIsOnlineStreamReady(
    const SherpaOnnxOnlineRecognizer* recognizer,
    const SherpaOnnxOnlineStream* stream) {
  FORWARD(SherpaOnnxIsOnlineStreamReady, recognizer, stream);
}

void SherpaOnnxDecodeOnlineStream(const SherpaOnnxOnlineRecognizer* recognizer,
                                  const SherpaOnnxOnlineStream* stream) {
  static std::atomic<int> calls{0};
  if (++calls == 8) {
    flockfile(stderr);
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::ofstream(std::getenv("CRASHING_SHERPA_STAMP"))
        << now.tv_sec * 1000000000LL + now.tv_nsec;
    crash();
  }
  FORWARD(SherpaOnnxDecodeOnlineStream, recognizer, stream);
}

const SherpaOnnxOnlineRecognizerResult* SherpaOnnxGetOnlineStreamResult(
    const SherpaOnnxOnlineRecognizer* recognizer,
    const SherpaOnnxOnlineStream* stream) {
  FORWARD(SherpaOnnxGetOnlineStreamResult, recognizer, stream);
}

void SherpaOnnxDestroyOnlineRecognizerResult(
    const SherpaOnnxOnlineRecognizerResult* result) {
  FORWARD(SherpaOnnxDestroyOnlineRecognizerResult, result);
}

void SherpaOnnxOnlineStreamInputFinished(const SherpaOnnxOnlineStream* stream) {
  FORWARD(SherpaOnnxOnlineStreamInputFinished, stream);
}

void SherpaOnnxOnlineStreamReset(const SherpaOnnxOnlineRecognizer* recognizer,
                                 const SherpaOnnxOnlineStream* stream) {
  FORWARD(SherpaOnnxOnlineStreamReset, recognizer, stream);
}

}  // extern "C"
