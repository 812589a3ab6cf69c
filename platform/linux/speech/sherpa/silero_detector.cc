#include "platform/linux/speech/sherpa/silero_detector.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/speech/install_layout.h"
#include "platform/linux/speech/model_directory.h"
#include "platform/linux/speech/sherpa/sherpa_runtime.h"

namespace quorvel {
namespace {

constexpr const char* modelFile = "vad/silero_vad.onnx";

// A window of 32 ms at either rate the model takes.
int32_t windowFor(double sampleRate) {
  if (sampleRate == 16000) return 512;
  if (sampleRate == 8000) return 256;
  return 0;
}

class SileroDetector : public VoiceDetector {
 public:
  // detector is the runtime's, freed with this object.
  SileroDetector(const SherpaRuntime& runtime,
                 const SherpaOnnxVoiceActivityDetector* created,
                 int32_t windowSamples)
      : api(runtime), detector(created), windowSamples(windowSamples) {}
  ~SileroDetector() override { api.destroyDetector(detector); }
  SileroDetector(const SileroDetector&) = delete;
  SileroDetector& operator=(const SileroDetector&) = delete;

  size_t windowLength() const override { return windowSamples; }

  bool detect(std::span<const float> window) override {
    api.detectorAccept(detector, window.data(),
                       static_cast<int32_t>(window.size()));
    // Only whether speech goes on counts: the detector's copies of the
    // speech it has finished would otherwise pile up.
    api.clearSegments(detector);
    return api.detected(detector) == 1;
  }

  void reset() override { api.resetDetector(detector); }

 private:
  const SherpaRuntime& api;
  const SherpaOnnxVoiceActivityDetector* const detector;
  const int32_t windowSamples;
};

class SileroSource : public VoiceDetectorSource {
 public:
  std::string modelName() override {
    const std::string& path = modelPath();
    return path.empty()
               ? std::string()
               : "voice-activity model in " + path.substr(0, path.rfind('/'));
  }

  std::unique_ptr<VoiceDetector> make(double sampleRate) override {
    const SherpaRuntime* runtime = SherpaRuntime::get();
    const std::string& path = modelPath();
    std::string reason;
    if (path.empty()) {
      reason = std::string("no ") + modelFile + " in the model roots";
    } else if (runtime == nullptr) {
      reason = "it runs on sherpa-onnx, which is not used";
    } else if (runtime->createDetector == nullptr) {
      reason = "sherpa-onnx lacks its functions";
    } else if (windowFor(sampleRate) == 0) {
      reason = "the model does not take audio at the decoder's rate";
    }
    if (!reason.empty()) return none(reason);

    SherpaOnnxVadModelConfig config = {};
    config.silero_vad.model = path.c_str();
    config.silero_vad.threshold = 0.5f;
    // Speech is marked once it has lasted this long, and ends after this
    // much silence (of the windows it hears: while the gate is open, one
    // in eight); the gate's pre-roll and hangover cover both.
    config.silero_vad.min_speech_duration = 0.15f;
    config.silero_vad.min_silence_duration = 0.15f;
    config.silero_vad.window_size = windowFor(sampleRate);
    // Long speech is marked in pieces of this length, with no gap between
    // them, so that the detector never holds more audio than this.
    config.silero_vad.max_speech_duration = 10.0f;
    config.sample_rate = static_cast<int32_t>(sampleRate);
    // One thread, as the recogniser: it shares the machine.
    config.num_threads = 1;
    config.provider = "cpu";
    const SherpaOnnxVoiceActivityDetector* detector =
        runtime->createDetector(&config, /*buffer_size_in_seconds=*/12.0f);
    if (detector == nullptr) {
      return none("the " + modelName() + " does not load");
    }
    return std::make_unique<SileroDetector>(*runtime, detector,
                                            windowFor(sampleRate));
  }

 private:
  // The model file in the first root that has it; empty when none does.
  const std::string& modelPath() {
    std::call_once(searched, [this] {
      std::vector<std::string> roots = ModelDirectory::defaultRoots();
      for (const std::string& root : projectModelRoots()) roots.push_back(root);
      for (const std::string& root : roots) {
        if (isFile(root + "/" + modelFile)) {
          path = root + "/" + modelFile;
          break;
        }
      }
    });
    return path;
  }

  std::unique_ptr<VoiceDetector> none(const std::string& reason) {
    if (!told.exchange(true)) {
      writeEngineDiagnostic("voice activity is not detected: " + reason +
                            "; all audio is decoded");
    }
    return nullptr;
  }

  std::once_flag searched;
  std::string path;
  std::atomic<bool> told{false};
};

}  // namespace

VoiceDetectorSource& sileroDetectors() {
  // Never destroyed: decoding threads use it until the process ends.
  static VoiceDetectorSource& source = *new SileroSource;
  return source;
}

}  // namespace quorvel
