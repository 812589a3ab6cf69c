#include "platform/linux/audio/file_audio_engine.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// What a tap saw: copies of every buffer, each with its arrival time.
class Recorder {
 public:
  struct Buffer {
    uint32_t frames = 0;
    double sampleRate = 0;
    std::vector<std::vector<float>> channels;
    Clock::time_point arrival;
  };

  AudioEngine::Tap tap() {
    return [this](const AudioBuffer& buffer) {
      Buffer copy{buffer.frameLength, buffer.sampleRate, {}, Clock::now()};
      for (const float* channel : buffer.channels) {
        copy.channels.emplace_back(channel, channel + buffer.frameLength);
      }
      std::lock_guard<std::mutex> lock(mutex);
      buffers.push_back(std::move(copy));
      arrived.notify_all();
    };
  }
  // The first count buffers; fails the test when they take over 10 s.
  std::vector<Buffer> waitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(arrived.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return buffers.size() >= count; }));
    return std::vector<Buffer>(
        buffers.begin(), buffers.begin() + std::min(count, buffers.size()));
  }

 private:
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<Buffer> buffers;
};

class FileAudioEngineTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "audio-XXXXXX");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder = pattern;
  }
  void TearDown() override { fs::remove_all(folder); }

  // A wav file whose frame i holds value(i) on every channel.
  std::string writeWav(int rate, int channels, int frames,
                       const std::function<float(int)>& value) {
    const std::string path = (folder / "input.wav").string();
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr);
    std::vector<float> interleaved;
    for (int i = 0; i < frames; ++i) {
      interleaved.insert(interleaved.end(), channels, value(i));
    }
    sf_writef_float(file, interleaved.data(), frames);
    sf_close(file);
    return path;
  }

  fs::path folder;
};

TEST_F(FileAudioEngineTest, FormatIsTheFilesOrNoneForNonAudio) {
  FileAudioEngine wav(writeWav(22050, 2, 100, [](int) { return 0.0f; }));
  EXPECT_EQ(wav.inputFormat().sampleRate, 22050);
  EXPECT_EQ(wav.inputFormat().channelCount, 2u);

  const std::string text = (folder / "notes.txt").string();
  std::ofstream(text) << "not a sound file at all\n";
  FileAudioEngine notAudio(text);
  EXPECT_EQ(notAudio.inputFormat().sampleRate, 0);
  EXPECT_EQ(notAudio.inputFormat().channelCount, 0u);
  EXPECT_NE(notAudio.start(), "");
  EXPECT_FALSE(notAudio.isRunning());
}

TEST_F(FileAudioEngineTest, MissingFileFailsToStartWithTheReason) {
  FileAudioEngine missing((folder / "nothing.wav").string());
  // A usable format, so that the failure is reported by start().
  EXPECT_GT(missing.inputFormat().sampleRate, 0);
  EXPECT_EQ(missing.start(), "No such file or directory");
  EXPECT_FALSE(missing.isRunning());
}

TEST_F(FileAudioEngineTest, DeliversInRealTimeThenSilence) {
  // 2000 frames of 0.5: the file ends inside the second buffer.
  FileAudioEngine engine(writeWav(8000, 2, 2000, [](int) { return 0.5f; }));
  Recorder recorder;
  engine.installTap(1024, recorder.tap());
  const Clock::time_point started = Clock::now();
  ASSERT_EQ(engine.start(), "");
  EXPECT_TRUE(engine.isRunning());
  const std::vector<Recorder::Buffer> buffers = recorder.waitFor(4);
  engine.stop();
  EXPECT_FALSE(engine.isRunning());
  ASSERT_EQ(buffers.size(), 4u);

  for (const Recorder::Buffer& buffer : buffers) {
    EXPECT_EQ(buffer.frames, 1024u);
    EXPECT_EQ(buffer.sampleRate, 8000);
    ASSERT_EQ(buffer.channels.size(), 2u);
  }
  for (int c = 0; c < 2; ++c) {
    EXPECT_EQ(buffers[0].channels[c][0], 0.5f);
    EXPECT_EQ(buffers[1].channels[c][2000 - 1024 - 1], 0.5f);
    EXPECT_EQ(buffers[1].channels[c][2000 - 1024], 0.0f);
    EXPECT_EQ(buffers[3].channels[c], std::vector<float>(1024, 0.0f));
  }
  // A buffer arrives once its last frame has played.
  EXPECT_GE(secondsBetween(started, buffers[3].arrival), 4 * 1024 / 8000.0);
}

TEST_F(FileAudioEngineTest, RestartResumesWhereTheTimelineIs) {
  // Frame i holds i / 65536, so a sample tells its position.
  FileAudioEngine engine(
      writeWav(8000, 1, 40000, [](int i) { return i / 65536.0f; }));
  Recorder first;
  engine.installTap(1024, first.tap());
  const Clock::time_point beforeFirst = Clock::now();
  ASSERT_EQ(engine.start(), "");
  const Clock::time_point afterFirst = Clock::now();
  first.waitFor(2);
  engine.stop();

  Recorder second;
  engine.installTap(1024, second.tap());
  const Clock::time_point beforeSecond = Clock::now();
  ASSERT_EQ(engine.start(), "");
  const Clock::time_point afterSecond = Clock::now();
  const std::vector<Recorder::Buffer> resumed = second.waitFor(1);
  engine.stop();
  ASSERT_EQ(resumed.size(), 1u);

  const double position = resumed[0].channels[0][0] * 65536.0;
  EXPECT_GE(position, secondsBetween(afterFirst, beforeSecond) * 8000 - 1);
  EXPECT_LE(position, secondsBetween(beforeFirst, afterSecond) * 8000 + 1);
}

TEST_F(FileAudioEngineTest, RemovedTapIsNeverCalledAgain) {
  FileAudioEngine engine(writeWav(8000, 1, 100, [](int) { return 0.0f; }));
  std::atomic<bool> removed{false};
  std::atomic<int> lateCalls{0};
  Recorder old;
  AudioEngine::Tap oldTap = old.tap();
  engine.installTap(256, [&](const AudioBuffer& buffer) {
    if (removed) ++lateCalls;
    oldTap(buffer);
  });
  ASSERT_EQ(engine.start(), "");
  old.waitFor(2);
  engine.removeTap();
  removed = true;
  // Deliveries go on into a new tap; the old one stays silent meanwhile.
  Recorder replacement;
  engine.installTap(256, replacement.tap());
  EXPECT_EQ(replacement.waitFor(3).size(), 3u);
  engine.stop();
  EXPECT_EQ(lateCalls, 0);
}

TEST_F(FileAudioEngineTest, StopDoesNotWaitForTheNextBuffer) {
  FileAudioEngine engine(writeWav(8000, 1, 100, [](int) { return 0.0f; }));
  Recorder recorder;
  // One buffer every eight seconds.
  engine.installTap(65536, recorder.tap());
  ASSERT_EQ(engine.start(), "");
  const Clock::time_point stopping = Clock::now();
  engine.stop();
  EXPECT_LT(secondsBetween(stopping, Clock::now()), 1.0);
  EXPECT_FALSE(engine.isRunning());
}

}  // namespace
}  // namespace quorvel
