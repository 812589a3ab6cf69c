#include "platform/linux/audio/linux_audio_engine.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/linux/audio/file_audio_engine.h"
#include "platform/linux/audio/pulse_audio_engine.h"

namespace quorvel {
namespace {

// Counts how long the input has delivered nothing but exact zeros, on the
// capture thread (the taps of one engine never run at once).
struct SilenceCount {
  static constexpr double tellAfterSeconds = 10.0;
  double seconds = 0;
  bool told = false;

  void hear(const AudioBuffer& buffer) {
    bool zeros = !buffer.channels.empty() && buffer.sampleRate > 0;
    for (const float* channel : buffer.channels) {
      for (uint32_t i = 0; zeros && i < buffer.frameLength; ++i) {
        zeros = channel[i] == 0.0f;
      }
    }
    if (!zeros) {
      seconds = 0;
      told = false;
      return;
    }
    seconds += buffer.frameLength / buffer.sampleRate;
    if (told || seconds < tellAfterSeconds) return;
    told = true;
    // One write, and no lock: standard error's lock may be held by a
    // thread the capture thread must not wait for.
    static constexpr char line[] =
        "quorvel: the microphone delivers only digital silence (muted?)\n";
    [[maybe_unused]] ssize_t ignored =
        write(STDERR_FILENO, line, sizeof line - 1);
  }
};

// The input, with the count above on every buffer it delivers.
class SilenceWatchingEngine : public AudioEngine {
 public:
  explicit SilenceWatchingEngine(std::unique_ptr<AudioEngine> input)
      : inner(std::move(input)) {}
  Format inputFormat() override { return inner->inputFormat(); }
  void installTap(uint32_t bufferSize, Tap tap) override {
    inner->installTap(bufferSize, [count = count, tap = std::move(tap)](
                                      const AudioBuffer& buffer) {
      count->hear(buffer);
      tap(buffer);
    });
  }
  void removeTap() override { inner->removeTap(); }
  std::string start() override { return inner->start(); }
  bool isRunning() const override { return inner->isRunning(); }
  void stop() override { inner->stop(); }
  void release() override { inner->release(); }
  void setFailureHandler(FailureHandler handler) override {
    inner->setFailureHandler(std::move(handler));
  }

 private:
  const std::unique_ptr<AudioEngine> inner;
  const std::shared_ptr<SilenceCount> count = std::make_shared<SilenceCount>();
};

}  // namespace

std::unique_ptr<AudioEngine> makeLinuxAudioEngine() {
  const char* file = std::getenv("QUORVEL_AUDIO_INPUT");
  std::unique_ptr<AudioEngine> input;
  if (file != nullptr && *file != '\0') {
    input = std::make_unique<FileAudioEngine>(file);
  } else {
    input = std::make_unique<PulseAudioEngine>();
  }
  return std::make_unique<SilenceWatchingEngine>(std::move(input));
}

}  // namespace quorvel
