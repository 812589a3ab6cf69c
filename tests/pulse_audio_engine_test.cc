#include "platform/linux/audio/pulse_audio_engine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

extern char** environ;

#include "tests/support/child_process.h"
#include "tests/support/pulse_daemon.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A tap that counts buffers and keeps the first one's shape and peak.
class Recorder {
 public:
  AudioEngine::Tap tap() {
    return [this](const AudioBuffer& buffer) {
      std::lock_guard<std::mutex> lock(mutex);
      if (count++ == 0) {
        frames = buffer.frameLength;
        channels = static_cast<uint32_t>(buffer.channels.size());
        sampleRate = buffer.sampleRate;
      }
      for (const float* channel : buffer.channels) {
        for (uint32_t i = 0; i < buffer.frameLength; ++i) {
          peak = std::max(peak, std::fabs(channel[i]));
        }
      }
      arrived.notify_all();
    };
  }
  bool waitFor(int buffers) {
    std::unique_lock<std::mutex> lock(mutex);
    return arrived.wait_for(lock, std::chrono::seconds(10),
                            [&] { return count >= buffers; });
  }

  std::mutex mutex;
  std::condition_variable arrived;
  int count = 0;
  uint32_t frames = 0;
  uint32_t channels = 0;
  double sampleRate = 0;
  float peak = 0;
};

// A private PulseAudio daemon with a 440 Hz tone source at 44.1 kHz mono
// (the default) and a silent stereo 32 kHz sink monitor, reachable through
// PULSE_SERVER for the whole suite.
class PulseAudioEngineTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    daemon = new PulseDaemon(
        "load-module module-sine-source source_name=tone rate=44100 "
        "frequency=440\n"
        "load-module module-null-sink sink_name=quiet rate=32000 channels=2\n"
        "set-default-source tone\n");
    ASSERT_TRUE(daemon->running())
        << "daemon did not come up; see " << daemon->logPath();
    setenv("PULSE_SERVER", daemon->server().c_str(), 1);
    setenv("PULSE_COOKIE", daemon->cookie().c_str(), 1);
    unsetenv("PULSE_SOURCE");
  }

  static void TearDownTestSuite() {
    unsetenv("PULSE_SERVER");
    unsetenv("PULSE_COOKIE");
    delete daemon;
    daemon = nullptr;
  }

  void TearDown() override { unsetenv("PULSE_SOURCE"); }

  static PulseDaemon* daemon;
};

PulseDaemon* PulseAudioEngineTest::daemon = nullptr;

TEST_F(PulseAudioEngineTest, CapturesBuffersInTheSourceFormat) {
  PulseAudioEngine engine;
  EXPECT_EQ(engine.inputFormat().sampleRate, 44100);
  EXPECT_EQ(engine.inputFormat().channelCount, 1u);
  Recorder recorder;
  engine.installTap(1024, recorder.tap());
  ASSERT_EQ(engine.start(), "");
  EXPECT_TRUE(engine.isRunning());
  EXPECT_TRUE(recorder.waitFor(3));
  engine.stop();
  EXPECT_FALSE(engine.isRunning());
  EXPECT_EQ(recorder.frames, 1024u);
  EXPECT_EQ(recorder.channels, 1u);
  EXPECT_EQ(recorder.sampleRate, 44100);
  EXPECT_GT(recorder.peak, 0.05f);  // the tone, not silence
}

TEST_F(PulseAudioEngineTest, RecordsTheSourceNamedByPulseSource) {
  setenv("PULSE_SOURCE", "quiet.monitor", 1);
  PulseAudioEngine engine;
  EXPECT_EQ(engine.inputFormat().sampleRate, 32000);
  EXPECT_EQ(engine.inputFormat().channelCount, 2u);
  Recorder recorder;
  engine.installTap(512, recorder.tap());
  ASSERT_EQ(engine.start(), "");
  EXPECT_TRUE(recorder.waitFor(2));
  engine.stop();
  EXPECT_EQ(recorder.frames, 512u);
  EXPECT_EQ(recorder.channels, 2u);
  EXPECT_EQ(recorder.sampleRate, 32000);
  EXPECT_EQ(recorder.peak, 0.0f);  // the silent monitor, not the tone
}

TEST_F(PulseAudioEngineTest, MissingSourceFailsWithNoSuchEntity) {
  setenv("PULSE_SOURCE", "no-such-source", 1);
  PulseAudioEngine engine;
  EXPECT_EQ(engine.inputFormat().sampleRate, 48000);
  EXPECT_EQ(engine.start(), "No such entity");
  EXPECT_FALSE(engine.isRunning());
}

TEST_F(PulseAudioEngineTest, UnreachableServerFailsWithConnectionRefused) {
  const std::string server = getenv("PULSE_SERVER");
  setenv("PULSE_SERVER", (daemon->server() + "-nobody").c_str(), 1);
  PulseAudioEngine engine;
  EXPECT_EQ(engine.inputFormat().sampleRate, 48000);
  EXPECT_EQ(engine.inputFormat().channelCount, 1u);
  EXPECT_EQ(engine.start(), "Connection refused");
  EXPECT_FALSE(engine.isRunning());
  setenv("PULSE_SERVER", server.c_str(), 1);
}

// The index the server gave our client ("quorvel"); empty when none is
// connected. A new connection gets a new index.
std::string clientIndex(const PulseDaemon& server) {
  ChildProcess pactl(
      {"/usr/bin/pactl", "list", "short", "clients"},
      {{"PULSE_SERVER", server.server()}, {"PULSE_COOKIE", server.cookie()}});
  pactl.closeInput();
  EXPECT_EQ(pactl.wait(10), 0) << pactl.err;
  std::string index;
  for (const std::string& line : pactl.lines) {
    if (line.find("\tquorvel") != std::string::npos) {
      EXPECT_EQ(index, "") << "more than one connection";
      index = line.substr(0, line.find('\t'));
    }
  }
  return index;
}

// Restores the suite's PULSE_SERVER when a test points it elsewhere.
class ServerOverride {
 public:
  explicit ServerOverride(const std::string& server)
      : saved(std::getenv("PULSE_SERVER")) {
    setenv("PULSE_SERVER", server.c_str(), 1);
  }
  ~ServerOverride() { setenv("PULSE_SERVER", saved.c_str(), 1); }

 private:
  std::string saved;
};

// Starts and stops touch only the stream: the connection is the engine's
// for its life. A server that dies is reported at once, once; the next
// start connects anew.
TEST_F(PulseAudioEngineTest, OneConnectionThatOutlivesAServerRestart) {
  PulseDaemon own(
      "load-module module-sine-source source_name=tone rate=44100\n"
      "set-default-source tone\n");
  ASSERT_TRUE(own.running()) << "see " << own.logPath();
  ServerOverride server(own.server());
  PulseAudioEngine engine;
  std::mutex mutex;
  std::condition_variable reported;
  std::vector<std::string> reasons;
  engine.setFailureHandler([&](const std::string& reason) {
    std::lock_guard<std::mutex> lock(mutex);
    reasons.push_back(reason);
    reported.notify_all();
  });
  Recorder recorder;
  engine.installTap(1024, recorder.tap());
  ASSERT_EQ(engine.inputFormat().sampleRate, 44100);
  ASSERT_EQ(engine.start(), "");
  const std::string first = clientIndex(own);
  EXPECT_NE(first, "");
  for (int i = 0; i < 3; ++i) {
    engine.stop();
    EXPECT_EQ(engine.inputFormat().sampleRate, 44100);
    ASSERT_EQ(engine.start(), "");
  }
  EXPECT_EQ(clientIndex(own), first);
  EXPECT_TRUE(recorder.waitFor(2));

  own.kill();
  const auto killed = Clock::now();
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(reported.wait_for(lock, std::chrono::seconds(5),
                                  [&] { return !reasons.empty(); }));
  }
  EXPECT_LT(Clock::now() - killed, std::chrono::seconds(1));
  EXPECT_FALSE(engine.isRunning());
  EXPECT_EQ(engine.inputFormat().sampleRate, 48000);
  EXPECT_EQ(engine.start(), "Connection refused");

  ASSERT_TRUE(own.restart()) << "see " << own.logPath();
  EXPECT_EQ(engine.inputFormat().sampleRate, 44100);
  const int before = [&] {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    return recorder.count;
  }();
  ASSERT_EQ(engine.start(), "");
  EXPECT_TRUE(recorder.waitFor(before + 2));
  engine.stop();
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(reasons, std::vector<std::string>{"Connection terminated"});
}

// A server that takes the connection and never answers holds each call for
// the timeout at most, and the start after a failed format look does not
// wait a second time.
TEST_F(PulseAudioEngineTest, SilentServerCostsOneTimeout) {
  const std::string path = daemon->server().substr(5) + "-silent";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof(address.sun_path) - 1);
  ASSERT_EQ(
      bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)),
      0);
  ASSERT_EQ(listen(listener, 8), 0);
  ServerOverride server("unix:" + path);
  PulseAudioEngine engine;
  const auto begin = Clock::now();
  EXPECT_EQ(engine.inputFormat().sampleRate, 48000);
  EXPECT_EQ(engine.start(), "Timeout");
  const double seconds =
      std::chrono::duration<double>(Clock::now() - begin).count();
  EXPECT_LT(seconds, PulseAudioEngine::serverTimeoutSeconds + 1.0);
  close(listener);
  unlink(path.c_str());
}

}  // namespace
}  // namespace quorvel
