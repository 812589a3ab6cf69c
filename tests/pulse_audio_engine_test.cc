#include "platform/linux/pulse_audio_engine.h"

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
    std::string pattern = (fs::temp_directory_path() / "pulse-XXXXXX");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder = new fs::path(pattern);
    const fs::path home = *folder / "home";
    const fs::path runtime = *folder / "runtime";
    fs::create_directories(home);
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    const std::string socket = (*folder / "native").string();
    const std::string script = (*folder / "server.pa").string();
    std::ofstream(script)
        << "load-module module-native-protocol-unix socket=" << socket
        << " auth-anonymous=1\n"
        << "load-module module-sine-source source_name=tone rate=44100"
        << " frequency=440\n"
        << "load-module module-null-sink sink_name=quiet rate=32000"
        << " channels=2\n"
        << "set-default-source tone\n";

    // The daemon gets its own home and runtime folders, so that it leaves
    // nothing behind; as root it also needs --system=false to run at all.
    // timeout ends it even if this process dies first.
    std::vector<std::string> args = {"timeout",
                                     "-s",
                                     "KILL",
                                     "120",
                                     "pulseaudio",
                                     "-n",
                                     "--daemonize=no",
                                     "--exit-idle-time=-1",
                                     "--use-pid-file=no",
                                     "--system=false",
                                     "--realtime=no",
                                     "--high-priority=no",
                                     "--log-target=stderr",
                                     "-F",
                                     script};
    std::vector<std::string> env = {
        "HOME=" + home.string(), "XDG_RUNTIME_DIR=" + runtime.string(),
        "PULSE_RUNTIME_PATH=" + runtime.string(), "PATH=/usr/bin:/bin"};
    std::vector<char*> argv, envp;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    for (std::string& var : env) envp.push_back(var.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log = (*folder / "daemon.log").string();
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    ASSERT_EQ(posix_spawnp(&daemon, "timeout", &actions, &attributes,
                           argv.data(), envp.data()),
              0);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);

    ASSERT_TRUE(waitForSocket(socket)) << "daemon did not come up; see " << log;
    setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    setenv("PULSE_COOKIE", (*folder / "cookie").c_str(), 1);
    unsetenv("PULSE_SOURCE");
  }

  static void TearDownTestSuite() {
    unsetenv("PULSE_SERVER");
    unsetenv("PULSE_COOKIE");
    if (daemon > 0) {
      kill(-daemon, SIGTERM);
      const auto deadline = Clock::now() + std::chrono::seconds(5);
      int status = 0;
      while (waitpid(daemon, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
          kill(-daemon, SIGKILL);
          waitpid(daemon, &status, 0);
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      kill(-daemon, SIGKILL);  // anything left of the group
    }
    if (folder != nullptr) fs::remove_all(*folder);
    delete folder;
    folder = nullptr;
  }

  void TearDown() override { unsetenv("PULSE_SOURCE"); }

  // Polls until the daemon accepts connections, for at most ten seconds.
  static bool waitForSocket(const std::string& path) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
      const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      path.copy(address.sun_path, sizeof(address.sun_path) - 1);
      const bool up = connect(fd, reinterpret_cast<sockaddr*>(&address),
                              sizeof(address)) == 0;
      close(fd);
      if (up) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  static fs::path* folder;
  static pid_t daemon;
};

fs::path* PulseAudioEngineTest::folder = nullptr;
pid_t PulseAudioEngineTest::daemon = 0;

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
  setenv("PULSE_SERVER", ("unix:" + (*folder / "nobody").string()).c_str(), 1);
  PulseAudioEngine engine;
  EXPECT_EQ(engine.inputFormat().sampleRate, 48000);
  EXPECT_EQ(engine.inputFormat().channelCount, 1u);
  EXPECT_EQ(engine.start(), "Connection refused");
  EXPECT_FALSE(engine.isRunning());
  setenv("PULSE_SERVER", server.c_str(), 1);
}

}  // namespace
}  // namespace quorvel
