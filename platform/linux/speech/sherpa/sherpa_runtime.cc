#include "platform/linux/speech/sherpa/sherpa_runtime.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/linux/speech/decoder.h"
#include "platform/linux/speech/install_layout.h"

namespace quorvel {
namespace {

constexpr const char* libraryName = "libsherpa-onnx-c-api.so";

std::vector<std::string> libraryFolders() {
  const char* configured = std::getenv("QUORVEL_SHERPA_DIR");
  if (configured != nullptr && *configured != '\0') return {configured};
  return projectLibraryFolders();
}

// A version string as the diagnostic shows it: quoted, and short even when
// a foreign library returns something long.
std::string quoted(const char* text) {
  std::string shown(text, strnlen(text, 40));
  return "\"" + shown + "\"";
}

// The runtime from the first folder that has the library; null, with
// failure set, when there is none or it cannot be used.
const SherpaRuntime* loadRuntime(std::string& failure) {
  const std::vector<std::string> folders = libraryFolders();
  std::string path;
  for (const std::string& folder : folders) {
    const std::string candidate = folder + "/" + libraryName;
    if (access(candidate.c_str(), F_OK) == 0) {
      path = candidate;
      break;
    }
  }
  if (path.empty()) {
    failure = std::string("no ") + libraryName + " in ";
    for (size_t i = 0; i < folders.size(); ++i) {
      failure += (i == 0 ? "" : " or ") + folders[i];
    }
    return nullptr;
  }
  // libonnxruntime.so is found beside it, through its own RPATH $ORIGIN.
  // Never closed once in use: the models it loads live until the end.
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    failure = path + " does not load: " + dlerror();
    return nullptr;
  }
  // The version comes first: with another release, even the other
  // functions may not be what their names say.
  auto version = reinterpret_cast<decltype(&SherpaOnnxGetVersionStr)>(
      dlsym(library, "SherpaOnnxGetVersionStr"));
  const char* found = version == nullptr ? nullptr : version();
  if (found == nullptr || std::strcmp(found, sherpaOnnxVersion) != 0) {
    failure = path + " is " +
              (found == nullptr ? std::string("not sherpa-onnx")
                                : "release " + quoted(found)) +
              ", not " + sherpaOnnxVersion;
    dlclose(library);
    return nullptr;
  }
  auto* runtime = new SherpaRuntime;
  const char* missing = nullptr;
  auto lookUp = [&](auto& function, const char* name) {
    function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(
        dlsym(library, name));
    if (function == nullptr && missing == nullptr) missing = name;
  };
  lookUp(runtime->createRecognizer, "SherpaOnnxCreateOnlineRecognizer");
  lookUp(runtime->createStream, "SherpaOnnxCreateOnlineStream");
  lookUp(runtime->createStreamWithHotwords,
         "SherpaOnnxCreateOnlineStreamWithHotwords");
  lookUp(runtime->destroyStream, "SherpaOnnxDestroyOnlineStream");
  lookUp(runtime->acceptWaveform, "SherpaOnnxOnlineStreamAcceptWaveform");
  lookUp(runtime->isReady, "SherpaOnnxIsOnlineStreamReady");
  lookUp(runtime->decode, "SherpaOnnxDecodeOnlineStream");
  lookUp(runtime->getResult, "SherpaOnnxGetOnlineStreamResult");
  lookUp(runtime->destroyResult, "SherpaOnnxDestroyOnlineRecognizerResult");
  lookUp(runtime->inputFinished, "SherpaOnnxOnlineStreamInputFinished");
  lookUp(runtime->resetStream, "SherpaOnnxOnlineStreamReset");
  if (missing != nullptr) {
    failure = path + " lacks " + missing;
    delete runtime;
    dlclose(library);
    return nullptr;
  }
  // Recognition does without voice activity detection.
  lookUp(runtime->createDetector, "SherpaOnnxCreateVoiceActivityDetector");
  lookUp(runtime->destroyDetector, "SherpaOnnxDestroyVoiceActivityDetector");
  lookUp(runtime->detectorAccept,
         "SherpaOnnxVoiceActivityDetectorAcceptWaveform");
  lookUp(runtime->detected, "SherpaOnnxVoiceActivityDetectorDetected");
  lookUp(runtime->clearSegments, "SherpaOnnxVoiceActivityDetectorClear");
  lookUp(runtime->resetDetector, "SherpaOnnxVoiceActivityDetectorReset");
  if (missing != nullptr) runtime->createDetector = nullptr;
  return runtime;
}

}  // namespace

const SherpaRuntime* SherpaRuntime::get() {
  // Never freed, like the library it points into.
  static const SherpaRuntime* const runtime = [] {
    std::string failure;
    const SherpaRuntime* loaded = loadRuntime(failure);
    if (loaded == nullptr) {
      writeEngineDiagnostic("sherpa-onnx is not used: " + failure +
                            "; transducer models are skipped");
    }
    return loaded;
  }();
  return runtime;
}

}  // namespace quorvel
