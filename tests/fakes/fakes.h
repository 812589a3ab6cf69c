// Test doubles of every platform seam, for the logic's tests: a main queue in
// virtual time, a scripted speech service and audio engine, the rest of the
// Platform, and a capture of what the code writes to standard output and error.
// Everything runs on the test's thread except the tap, the microphone's answer
// and the commands.
#ifndef QUORVEL_TESTS_FAKES_FAKES_H_
#define QUORVEL_TESTS_FAKES_FAKES_H_

#include <atomic>
#include <climits>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/carry/audio_carry.h"
#include "platform/platform.h"

namespace quorvel {

// Nothing runs until the test advances the clock; then every block due by
// then runs in deadline order, the clock set to each one's deadline. An
// exit is recorded, and nothing runs after it, as the process would be gone.
class FakeMainQueue : public MainQueue {
 public:
  void async(std::function<void()> block) override {
    std::lock_guard<std::mutex> lock(mutex);
    blocks.emplace(std::pair(clock.load(), sequence++), std::move(block));
  }
  void asyncAfter(double seconds, std::shared_ptr<WorkItem> item) override {
    std::lock_guard<std::mutex> lock(mutex);
    blocks.emplace(std::pair(clock.load() + seconds, sequence++),
                   [item] { item->perform(); });
  }
  void exitProcess(int status) override {
    async([this, status] { exited = status; });
  }
  double now() const { return clock; }
  void advance(double seconds);
  void advanceTo(double time) { advance(time - now()); }
  void runUntilIdle() { advance(0); }
  std::optional<int> exitStatus() const {
    const int status = exited;
    return status == notExited ? std::nullopt : std::optional(status);
  }

 private:
  std::mutex mutex;
  std::atomic<double> clock = 0;
  uint64_t sequence = 0;
  std::multimap<std::pair<double, uint64_t>, std::function<void()>> blocks;
  // An int, not an optional: clang would need libatomic for that.
  static constexpr int notExited = INT_MIN;
  std::atomic<int> exited = notExited;
};

// The test calls the tap, as the capture thread would, from any thread.
// Like a real engine it records on after a stop, for the next start, until
// a release; its hold never runs out.
class FakeAudioEngine : public AudioEngine {
 public:
  Format inputFormat() override { return format; }
  void installTap(uint32_t bufferSize, Tap newTap) override {
    if (newTap) requestedBufferSize = bufferSize;
    tapped = static_cast<bool>(newTap);
    hold.install(bufferSize, std::move(newTap));
  }
  void removeTap() override { installTap(0, nullptr); }
  std::string start() override {
    if (!startError.empty()) return startError;
    std::exchange(held, false) ? hold.resume() : hold.beginRecording();
    running = true;
    return {};
  }
  bool isRunning() const override { return running; }
  void stop() override {
    if (running.exchange(false)) held = true;
    hold.hold();  // only a live recording is held
  }
  void release() override {
    hold.close();
    running = held = false;
  }
  void setFailureHandler(FailureHandler handler) override {
    failureHandler = std::move(handler);
  }
  // One buffer of samples on every channel, or of frames without float
  // data; nothing without a tap.
  void deliver(const std::vector<float>& samples, int channels = 1,
               std::optional<uint32_t> framesWithoutFloats = {}) {
    std::vector<const float*> pointers(framesWithoutFloats ? 0 : channels,
                                       samples.data());
    hold.deliver({framesWithoutFloats.value_or(samples.size()), pointers,
                  format.sampleRate});
  }
  // Capture ends on its own, as when the sound server goes away.
  void fail(const std::string& reason) {
    release();
    failureHandler(reason);
  }
  bool hasTap() { return tapped; }

  Format format{48000, 1};
  std::string startError;  // start() fails with it when not empty
  std::atomic<bool> running{false};
  uint32_t requestedBufferSize = 0;
  FailureHandler failureHandler;

 private:
  CaptureHold hold;  // holds its lock while the tap runs
  std::atomic<bool> tapped{false};
  bool held = false;  // main queue's
};

class FakeMicrophoneAccess : public MicrophoneAccess {
 public:
  int64_t authorizationStatus() override { return status; }
  void requestAccess(std::function<void(bool)> completion) override {
    pending = std::move(completion);
  }
  std::atomic<int64_t> status = 3;
  std::function<void(bool)> pending;  // answered by the test
};

struct FakeRequest : RecognitionRequest {
  void setShouldReportPartialResults(bool report) override {
    partials = report;
  }
  void setRequiresOnDeviceRecognition(bool) override {}
  void setContextualStrings(std::shared_ptr<const PhraseList>) override {}
  void append(const AudioBuffer&) override { ++appendedBuffers; }
  void endAudio() override { ended = true; }
  bool partials = false;
  std::atomic<bool> ended{false};
  std::atomic<int> appendedBuffers{0};
};

// A task the listener started; the test delivers its results, even after
// the listener has let it go.
struct FakeTask {
  void send(std::optional<std::string> text, bool isFinal,
            std::optional<RecognitionError> error = {}) {
    std::optional<RecognitionResult> result;
    if (text) result = RecognitionResult{*text, isFinal};
    handler(result, error);
  }
  std::shared_ptr<FakeRequest> request;
  ResultHandler handler;
  bool cancelled = false;
};

class FakeSpeechService : public SpeechService {
 public:
  struct Locale {
    bool available = true;
  };
  int64_t authorizationStatus() override { return status; }
  std::unique_ptr<SpeechRecognizer> recognizer(const std::string& id) override {
    probes.push_back(id);
    return make(locales.contains(id) ? std::optional(locales[id])
                                     : std::nullopt);
  }
  std::unique_ptr<SpeechRecognizer> defaultRecognizer() override {
    return make(defaultLocale);
  }
  FakeTask& lastTask() { return *tasks.back(); }

  std::atomic<int64_t> status = 3;
  std::map<std::string, Locale> locales{{"en-US", {}}};
  std::optional<Locale> defaultLocale;
  std::vector<std::string> probes;  // every locale asked for, in order
  std::vector<std::shared_ptr<FakeTask>> tasks;

 private:
  std::unique_ptr<SpeechRecognizer> make(std::optional<Locale> locale);
};

// One object plays the small seams: the application, the bundle, the
// user's languages, the wall clock (the queue's, shifted by clockStep), a
// background queue (a thread per block, joined by join() or at the end)
// and signal sources that never fire.
struct FakePlatform : Application,
                      Bundle,
                      UserLanguages,
                      WallClock,
                      BackgroundQueue,
                      SignalSources {
  ~FakePlatform() override { join(); }
  void setDelegate(ApplicationDelegate*) override {}
  void setActivationPolicyAccessory() override {}
  void activate() override { ++activations; }
  void run() override { ++runs; }
  std::string path() const override { return "/opt/quorvel"; }
  std::optional<std::string> identifier() const override { return id; }
  std::optional<std::string> infoString(const std::string& key) const override {
    if (!info.contains(key)) return std::nullopt;
    return info.at(key);
  }
  std::vector<std::string> preferredLanguages() const override {
    return languages;
  }
  double now() const override { return 1000 + queue.now() + clockStep; }
  void async(std::function<void()> block) override {
    threads.emplace_back(std::move(block));
  }
  void join() {
    for (auto& thread : threads) thread.join();
    threads.clear();
  }
  std::unique_ptr<SignalSource> watch(int, std::function<void()>) override {
    return std::make_unique<SignalSource>();
  }
  FakeAudioEngine& engine() { return *engines.back(); }
  std::unique_ptr<AudioEngine> makeEngine() {
    auto made = std::make_unique<FakeAudioEngine>();
    made->format = engineFormat;
    engines.push_back(made.get());
    return made;
  }

  FakeMainQueue queue;
  FakeSpeechService speech;
  FakeMicrophoneAccess microphone;
  int activations = 0, runs = 0;
  std::optional<std::string> id = "local.brixlane.quorvel";
  std::map<std::string, std::string> info{
      {"NSSpeechRecognitionUsageDescription", "speech"},
      {"NSMicrophoneUsageDescription", "mic"}};
  std::vector<std::string> languages{"en-US"};
  std::atomic<double> clockStep = 0;
  std::vector<std::thread> threads;
  AudioEngine::Format engineFormat{48000, 1};
  std::vector<FakeAudioEngine*> engines;  // all made, the newest last
  Platform platform{
      queue, *this,  *this,      *this, *this,
      *this, speech, microphone, *this, [this] { return makeEngine(); },
      -1};
};

// Points file descriptors 1 and 2 at temporary files for its lifetime.
class CapturedOutput {
 public:
  CapturedOutput();
  ~CapturedOutput();
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  // The lines written to fd since the previous call, without line feeds.
  std::vector<std::string> take(int fd = 1);
  // While one is alive, the real standard output; else -1.
  static inline int realOut = -1;

 private:
  int saved[3] = {-1, -1, -1};
  size_t taken[3] = {0, 0, 0};
};

}  // namespace quorvel

#endif  // QUORVEL_TESTS_FAKES_FAKES_H_
