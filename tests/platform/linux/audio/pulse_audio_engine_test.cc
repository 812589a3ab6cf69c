#include "platform/linux/audio/pulse_audio_engine.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>

#include "tests/support/process.h"

namespace quorvel {
namespace {

using Clock = std::chrono::steady_clock;

// Counts buffers and keeps the first one's shape and the peak.
struct Recorder {
  AudioEngine::Tap tap() {
    return [this](const AudioBuffer& buffer) {
      std::lock_guard<std::mutex> lock(mutex);
      if (count++ == 0) {
        first = {buffer.frameLength, buffer.channels.size(), buffer.sampleRate};
      }
      for (const float* channel : buffer.channels) {
        for (uint32_t i = 0; i < buffer.frameLength; ++i)
          peak = std::max(peak, std::fabs(channel[i]));
      }
      arrived.notify_all();
    };
  }
  bool waitFor(int more) {
    std::unique_lock<std::mutex> lock(mutex);
    const int target = count + more;
    return arrived.wait_for(lock, std::chrono::seconds(10),
                            [&] { return count >= target; });
  }
  std::mutex mutex;
  std::condition_variable arrived;
  int count = 0;
  std::tuple<uint32_t, size_t, double> first;
  float peak = 0;
};

void useServer(const Environment& env) {
  for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
}

// A tone at 44.1 kHz mono (the default source) and a silent 32 kHz stereo
// monitor; sources that are not there, a server that is not, and one that
// takes the connection and never answers.
TEST(PulseAudioEngineTest, CapturesInTheSourcesFormatOrSaysWhyNot) {
  PulseDaemon daemon(
      "load-module module-sine-source source_name=tone rate=44100\n"
      "load-module module-null-sink sink_name=quiet rate=32000 channels=2\n"
      "set-default-source tone\n");
  ASSERT_TRUE(daemon.start()) << "see " << daemon.log();
  const std::string server = daemon.clientEnv().at("PULSE_SERVER");
  const std::string silent = server.substr(5) + "-silent";
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{AF_UNIX, {}};
  silent.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(
      bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 8), 0);
  struct Case {
    std::string server, source;
    double rate;
    uint32_t channels;
    std::string failure;
    bool tone;
  };
  const Case cases[] = {
      {server, "", 44100, 1, "", true},
      {server, "quiet.monitor", 32000, 2, "", false},
      {server, "no-such-source", 48000, 1, "No such entity", false},
      {server + "-nobody", "", 48000, 1, "Connection refused", false},
      {"unix:" + silent, "", 48000, 1, "Timeout", false}};
  for (const Case& test : cases) {
    useServer(daemon.clientEnv());
    setenv("PULSE_SERVER", test.server.c_str(), 1);
    setenv("PULSE_SOURCE", test.source.c_str(), 1);
    if (test.source.empty()) unsetenv("PULSE_SOURCE");
    PulseAudioEngine engine;
    Recorder recorder;
    const auto begin = Clock::now();
    const AudioEngine::Format format = engine.inputFormat();
    EXPECT_EQ(format.sampleRate, test.rate) << test.source;
    EXPECT_EQ(format.channelCount, test.channels);
    engine.installTap(512, recorder.tap());
    EXPECT_EQ(engine.start(), test.failure) << test.server;
    // Each wait on the server is bounded, and a start after a failed
    // look at the format does not wait a second time.
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - begin).count(),
              PulseAudioEngine::serverTimeoutSeconds + 1);
    EXPECT_EQ(engine.isRunning(), test.failure.empty());
    if (!test.failure.empty()) continue;
    ASSERT_TRUE(recorder.waitFor(3));
    engine.stop();
    EXPECT_FALSE(engine.isRunning());
    EXPECT_EQ(recorder.first,
              std::make_tuple(512u, size_t{test.channels}, test.rate));
    EXPECT_EQ(recorder.peak > 0.05f, test.tone);
  }
  close(listener);
  unsetenv("PULSE_SOURCE");
}

// The connection is the engine's for its life: starts and stops touch
// only the stream. A server that dies is reported at once, once; the
// next start connects anew.
TEST(PulseAudioEngineTest, OneConnectionThatOutlivesAServerRestart) {
  PulseDaemon daemon(
      "load-module module-sine-source source_name=tone rate=44100\n"
      "set-default-source tone\n");
  ASSERT_TRUE(daemon.start()) << "see " << daemon.log();
  useServer(daemon.clientEnv());
  // The index the server gave our one connection ("quorvel").
  const auto client = [&] {
    ChildProcess pactl({"/usr/bin/pactl", "list", "short", "clients"}, {});
    EXPECT_EQ(pactl.wait(10), 0) << pactl.err;
    std::string index;
    for (const std::string& line : pactl.lines) {
      if (line.find("\tquorvel") == std::string::npos) continue;
      EXPECT_EQ(index, "") << "more than one connection";
      index = line.substr(0, line.find('\t'));
    }
    return index;
  };
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
  ASSERT_EQ(engine.start(), "");
  const std::string first = client();
  EXPECT_NE(first, "");
  for (int i = 0; i < 3; ++i) {
    engine.stop();
    EXPECT_EQ(engine.inputFormat().sampleRate, 44100);
    ASSERT_EQ(engine.start(), "");
  }
  EXPECT_EQ(client(), first);
  EXPECT_TRUE(recorder.waitFor(2));

  daemon.kill();
  const auto killed = Clock::now();
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(reported.wait_for(lock, std::chrono::seconds(5),
                                  [&] { return !reasons.empty(); }));
  }
  EXPECT_LT(Clock::now() - killed, std::chrono::seconds(1));
  EXPECT_FALSE(engine.isRunning());
  EXPECT_EQ(engine.start(), "Connection refused");
  ASSERT_TRUE(daemon.start()) << "see " << daemon.log();
  EXPECT_EQ(engine.inputFormat().sampleRate, 44100);
  ASSERT_EQ(engine.start(), "");
  EXPECT_TRUE(recorder.waitFor(2));
  engine.stop();
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(reasons, std::vector<std::string>{"Connection terminated"});
}

}  // namespace
}  // namespace quorvel
