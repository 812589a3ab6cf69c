// The remaining platform doubles, and FakePlatform, which bundles one of
// each into the Platform the logic takes. Also CapturedOutput, which
// catches what the code under test writes to standard output and error.
#ifndef QUORVEL_TESTS_FAKES_FAKE_PLATFORM_H_
#define QUORVEL_TESTS_FAKES_FAKE_PLATFORM_H_

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/fakes/fake_audio.h"
#include "tests/fakes/fake_main_queue.h"
#include "tests/fakes/fake_speech.h"

namespace quorvel {

class FakeBundle : public Bundle {
 public:
  std::string path() const override { return bundlePath; }
  std::optional<std::string> identifier() const override { return id; }
  std::optional<std::string> infoString(const std::string& key) const override {
    auto found = info.find(key);
    if (found == info.end()) return std::nullopt;
    return found->second;
  }

  std::string bundlePath = "/opt/quorvel";
  std::optional<std::string> id = "local.brixlane.quorvel";
  std::map<std::string, std::string> info{
      {"NSSpeechRecognitionUsageDescription", "speech"},
      {"NSMicrophoneUsageDescription", "mic"}};
};

class FakeLanguages : public UserLanguages {
 public:
  std::vector<std::string> preferredLanguages() const override {
    return languages;
  }
  std::vector<std::string> languages{"en-US"};
};

class FakeWallClock : public WallClock {
 public:
  explicit FakeWallClock(const FakeMainQueue& queue) : queue(queue) {}
  // Follows the queue's clock, shifted by offset (a clock step).
  double now() const override { return 1000.0 + queue.now() + offset.load(); }
  std::atomic<double> offset{0};

 private:
  const FakeMainQueue& queue;
};

class FakeApplication : public Application {
 public:
  void setDelegate(ApplicationDelegate* newDelegate) override {
    delegate = newDelegate;
  }
  void setActivationPolicyAccessory() override { accessory = true; }
  void activate() override { ++activations; }
  void run() override { ++runs; }

  ApplicationDelegate* delegate = nullptr;
  bool accessory = false;
  int activations = 0;
  int runs = 0;
};

// Runs each block on a thread of its own, joined when the queue goes.
class FakeBackgroundQueue : public BackgroundQueue {
 public:
  ~FakeBackgroundQueue() override;
  void async(std::function<void()> block) override;
  void join();

 private:
  std::vector<std::thread> threads;
};

class FakeSignalSources : public SignalSources {
 public:
  explicit FakeSignalSources(MainQueue& queue) : queue(queue) {}
  std::unique_ptr<SignalSource> watch(int signo,
                                      std::function<void()> handler) override;
  // Delivers signo as the platform would: the handlers run on the queue.
  void raise(int signo);
  std::vector<int> watched() const;

 private:
  MainQueue& queue;
  std::shared_ptr<std::map<int, std::vector<std::function<void()>>>> handlers =
      std::make_shared<std::map<int, std::vector<std::function<void()>>>>();
};

struct FakePlatform {
  FakePlatform();
  // The Platform the logic takes; every new audio engine is kept in
  // engines, last one made at the back.
  Platform platform();
  FakeAudioEngine& engine() { return *engines.back(); }

  FakeMainQueue queue;
  FakeBackgroundQueue background;
  FakeSignalSources signals{queue};
  FakeApplication application;
  FakeBundle bundle;
  FakeLanguages languages;
  FakeSpeechService speech;
  FakeMicrophoneAccess microphone;
  FakeWallClock wallClock{queue};
  std::vector<FakeAudioEngine*> engines;
  AudioEngine::Format engineFormat{48000, 1};
  int commandInput = -1;
};

// Redirects file descriptors 1 and 2 to files for its lifetime. When the
// test has failed, what was caught is echoed on the real output.
class CapturedOutput {
 public:
  CapturedOutput();
  ~CapturedOutput();
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  // Every standard-output line so far, without line feeds.
  std::vector<std::string> lines();
  // The lines written since the previous call.
  std::vector<std::string> takeLines();
  std::string errText();
  // The standard-error text written since the previous call.
  std::string takeErr();

 private:
  int savedOut, savedErr;
  std::string outPath, errPath;
  size_t linesTaken = 0;
  size_t errTaken = 0;
};

}  // namespace quorvel

#endif  // QUORVEL_TESTS_FAKES_FAKE_PLATFORM_H_
