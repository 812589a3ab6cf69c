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

}  // namespace
}  // namespace quorvel
