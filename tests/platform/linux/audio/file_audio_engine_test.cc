#include "platform/linux/audio/file_audio_engine.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Copies of what a tap saw: each buffer's channels and arrival.
struct Recorder {
  AudioEngine::Tap tap() {
    return [this](const AudioBuffer& buffer) {
      std::vector<std::vector<float>> channels;
      for (const float* channel : buffer.channels)
        channels.emplace_back(channel, channel + buffer.frameLength);
      std::lock_guard<std::mutex> lock(mutex);
      EXPECT_EQ(buffer.sampleRate, 8000);
      buffers.push_back(channels);
      positions.push_back(buffer.position);
      arrivals.push_back(Clock::now());
      arrived.notify_all();
    };
  }
  std::vector<std::vector<std::vector<float>>> waitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(arrived.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return buffers.size() >= count; }));
    return buffers;
  }
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::vector<std::vector<float>>> buffers;
  std::vector<Clock::time_point> arrivals;
  std::vector<uint64_t> positions;
};

// A wav file at 8 kHz whose frame i holds i / 65536 on every channel.
std::string wav(const std::string& name, int channels, int frames) {
  const std::string path = fs::temp_directory_path() / name;
  SF_INFO info{0, 8000, channels, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 0};
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  for (int i = 0; i < frames; ++i) {
    const std::vector<float> frame(channels, i / 65536.0f);
    sf_writef_float(file, frame.data(), 1);
  }
  sf_close(file);
  return path;
}

// The file's format, or what is wrong with it when started; buffers of
// the file in real time (each once its last frame has played), silence
// after its end; a start within the hold that goes on where capture was,
// and one after a release where the timeline is; a removed tap that stays
// quiet.
TEST(FileAudioEngineTest, PlaysTheFileInRealTimeThenSilence) {
  std::ofstream(fs::temp_directory_path() / "quorvel-notes") << "not audio\n";
  FileAudioEngine notAudio(fs::temp_directory_path() / "quorvel-notes");
  EXPECT_EQ(notAudio.inputFormat().sampleRate, 0);
  EXPECT_NE(notAudio.start(), "");
  FileAudioEngine missing("/nonexistent.wav");
  EXPECT_GT(missing.inputFormat().sampleRate, 0);  // start() says why
  EXPECT_EQ(missing.start(), "No such file or directory");

  FileAudioEngine engine(wav("quorvel-short.wav", 2, 2000));
  EXPECT_EQ(engine.inputFormat().channelCount, 2u);
  Recorder first, second;
  engine.installTap(1024, first.tap());
  const auto started = Clock::now();
  ASSERT_EQ(engine.start(), "");
  const auto buffers = first.waitFor(4);
  engine.stop();
  EXPECT_FALSE(engine.isRunning());
  for (int c = 0; c < 2; ++c) {
    EXPECT_EQ(buffers[1].at(c).size(), 1024u);
    EXPECT_EQ(buffers[1][c][1999 - 1024], 1999 / 65536.0f);
    EXPECT_EQ(buffers[1][c][2000 - 1024], 0.0f);
    EXPECT_EQ(buffers[3][c], std::vector<float>(1024, 0.0f));
  }
  EXPECT_GE(std::chrono::duration<double>(first.arrivals[3] - started).count(),
            4 * 1024 / 8000.0);

  FileAudioEngine timeline(wav("quorvel-long.wav", 1, 40000));
  timeline.installTap(1024, second.tap());
  const auto beforeStart = Clock::now();
  ASSERT_EQ(timeline.start(), "");
  const auto afterStart = Clock::now();  // the timeline began in between
  second.waitFor(2);
  timeline.stop();
  timeline.removeTap();
  size_t seen = second.waitFor(0).size();
  timeline.installTap(1024, second.tap());
  ASSERT_EQ(timeline.start(), "");
  // What played meanwhile comes first: every frame once, in order.
  const auto resumed = second.waitFor(seen + 2);
  for (size_t i = 0; i < resumed.size(); ++i) {
    EXPECT_EQ(resumed[i][0][0] * 65536, i * 1024.0);
    EXPECT_EQ(second.positions[i] - second.positions[0], i * 1024);
  }
  timeline.stop();
  timeline.release();  // the hold ends at once
  seen = second.waitFor(0).size();
  const double played = since(afterStart);
  ASSERT_EQ(timeline.start(), "");
  const double position = second.waitFor(seen + 1).at(seen)[0][0] * 65536;
  EXPECT_GE(position, played * 8000 - 1);
  EXPECT_LE(position, since(beforeStart) * 8000 + 1);
  EXPECT_GT(second.positions[seen], second.positions[seen - 1] + (1u << 30));

  std::atomic<bool> removed{false};
  std::atomic<int> lateCalls{0};
  timeline.installTap(256, [&](const AudioBuffer&) { lateCalls += removed; });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  timeline.removeTap();
  removed = true;
  timeline.installTap(256, second.tap());
  second.waitFor(seen + 4);
  timeline.stop();
  EXPECT_EQ(lateCalls, 0);
}

}  // namespace
}  // namespace quorvel
