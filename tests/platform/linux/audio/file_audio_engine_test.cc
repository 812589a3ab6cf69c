#include "platform/linux/audio/file_audio_engine.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <vector>

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// Copies of the buffers a tap saw, each with its arrival time.
struct Recorder {
  struct Buffer {
    uint32_t frames;
    double rate;
    std::vector<std::vector<float>> channels;
    Clock::time_point arrival;
  };
  AudioEngine::Tap tap() {
    return [this](const AudioBuffer& buffer) {
      Buffer copy{buffer.frameLength, buffer.sampleRate, {}, Clock::now()};
      for (const float* channel : buffer.channels)
        copy.channels.emplace_back(channel, channel + buffer.frameLength);
      std::lock_guard<std::mutex> lock(mutex);
      buffers.push_back(std::move(copy));
      arrived.notify_all();
    };
  }
  std::vector<Buffer> waitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(arrived.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return buffers.size() >= count; }));
    return buffers;
  }
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<Buffer> buffers;
};

class FileAudioEngineTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = fs::temp_directory_path() / "audio-XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern.data()));
    dir = pattern;
  }
  void TearDown() override { fs::remove_all(dir); }
  // A wav file whose frame i holds value(i) on every channel.
  std::string wav(int rate, int channels, int frames,
                  const std::function<float(int)>& value) {
    SF_INFO info{0, rate, channels, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 0};
    SNDFILE* file = sf_open((dir + "/in.wav").c_str(), SFM_WRITE, &info);
    for (int i = 0; i < frames; ++i) {
      std::vector<float> frame(channels, value(i));
      sf_writef_float(file, frame.data(), 1);
    }
    sf_close(file);
    return dir + "/in.wav";
  }
  std::string dir;
};

TEST_F(FileAudioEngineTest, FormatIsTheFilesAndStartSaysWhyNot) {
  FileAudioEngine stereo(wav(22050, 2, 100, [](int) { return 0; }));
  EXPECT_EQ(stereo.inputFormat().sampleRate, 22050);
  EXPECT_EQ(stereo.inputFormat().channelCount, 2u);
  std::ofstream(dir + "/notes.txt") << "not a sound file\n";
  FileAudioEngine notAudio(dir + "/notes.txt");
  EXPECT_EQ(notAudio.inputFormat().sampleRate, 0);  // an invalid format
  EXPECT_NE(notAudio.start(), "");
  // A missing file has a usable format, so that start() says why.
  FileAudioEngine missing(dir + "/nothing.wav");
  EXPECT_GT(missing.inputFormat().sampleRate, 0);
  EXPECT_EQ(missing.start(), "No such file or directory");
  EXPECT_FALSE(missing.isRunning());
}

// Each buffer comes once its last frame has played; after the end of the
// file, silence. A restart goes on where the timeline is.
TEST_F(FileAudioEngineTest, DeliversInRealTimeThenSilenceAlongATimeline) {
  FileAudioEngine engine(wav(8000, 2, 2000, [](int) { return 0.5f; }));
  Recorder recorder;
  engine.installTap(1024, recorder.tap());
  const Clock::time_point started = Clock::now();
  ASSERT_EQ(engine.start(), "");
  const auto buffers = recorder.waitFor(4);
  engine.stop();
  EXPECT_FALSE(engine.isRunning());
  ASSERT_GE(buffers.size(), 4u);
  for (int c = 0; c < 2; ++c) {
    EXPECT_EQ(buffers[1].channels.at(c)[2000 - 1024 - 1], 0.5f);
    EXPECT_EQ(buffers[1].channels.at(c)[2000 - 1024], 0.0f);
    EXPECT_EQ(buffers[3].channels.at(c), std::vector<float>(1024, 0.0f));
  }
  EXPECT_EQ(buffers[0].frames, 1024u);
  EXPECT_EQ(buffers[0].rate, 8000);
  EXPECT_GE(seconds(started, buffers[3].arrival), 4 * 1024 / 8000.0);

  // Frame i holds i / 65536, so a sample tells its position.
  FileAudioEngine timeline(
      wav(8000, 1, 40000, [](int i) { return i / 65536.0f; }));
  Recorder first, second;
  timeline.installTap(1024, first.tap());
  const auto beforeFirst = Clock::now();
  ASSERT_EQ(timeline.start(), "");
  const auto afterFirst = Clock::now();
  first.waitFor(2);
  timeline.stop();
  timeline.installTap(1024, second.tap());
  const auto beforeSecond = Clock::now();
  ASSERT_EQ(timeline.start(), "");
  const auto afterSecond = Clock::now();
  const double position = second.waitFor(1).at(0).channels[0][0] * 65536;
  timeline.stop();
  EXPECT_GE(position, seconds(afterFirst, beforeSecond) * 8000 - 1);
  EXPECT_LE(position, seconds(beforeFirst, afterSecond) * 8000 + 1);
}

// A removed tap is never called again, and a stop does not wait for the
// next buffer.
TEST_F(FileAudioEngineTest, RemovedTapStaysQuietAndStopIsPrompt) {
  FileAudioEngine engine(wav(8000, 1, 100, [](int) { return 0; }));
  std::atomic<bool> removed{false};
  std::atomic<int> lateCalls{0};
  Recorder old, replacement;
  engine.installTap(256, [&, tap = old.tap()](const AudioBuffer& buffer) {
    lateCalls += removed;
    tap(buffer);
  });
  ASSERT_EQ(engine.start(), "");
  old.waitFor(2);
  engine.removeTap();
  removed = true;
  engine.installTap(256, replacement.tap());
  EXPECT_EQ(replacement.waitFor(3).size(), 3u);
  engine.stop();
  EXPECT_EQ(lateCalls, 0);
  engine.installTap(65536, replacement.tap());  // one buffer every 8 s
  ASSERT_EQ(engine.start(), "");
  const auto stopping = Clock::now();
  engine.stop();
  EXPECT_LT(seconds(stopping, Clock::now()), 1.0);
}

}  // namespace
}  // namespace quorvel
