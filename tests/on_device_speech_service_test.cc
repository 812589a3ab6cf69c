#include "platform/linux/speech/on_device_speech_service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <samplerate.h>
#include <sndfile.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <vector>

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string sphinxRoot = "/usr/share/pocketsphinx/model";
const std::string projectRoot = std::string(QUORVEL_SOURCE_DIR) + "/models";
const std::string testData = "/usr/share/pocketsphinx/test/data";

// The main queue of these tests: blocks run on the test thread while it
// drains the queue.
class DrainedQueue : public MainQueue {
 public:
  void async(std::function<void()> block) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      blocks.push_back(std::move(block));
    }
    ready.notify_one();
  }
  void asyncAfter(double, std::shared_ptr<WorkItem> item) override {
    async([item] { item->perform(); });
  }
  void exitProcess(int) override { ADD_FAILURE() << "exitProcess called"; }

  // Runs blocks until done() holds; false when a minute passes first.
  bool runUntil(const std::function<bool()>& done) {
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (!done()) {
      std::function<void()> block;
      {
        std::unique_lock<std::mutex> lock(mutex);
        if (!ready.wait_until(lock, deadline,
                              [this] { return !blocks.empty(); })) {
          return false;
        }
        block = std::move(blocks.front());
        blocks.pop_front();
      }
      block();
    }
    return true;
  }

 private:
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<std::function<void()>> blocks;
};

struct FixedLanguages : UserLanguages {
  std::vector<std::string> preferred;
  std::vector<std::string> preferredLanguages() const override {
    return preferred;
  }
};

// Every call of one task's handler, in order.
struct Calls {
  std::vector<std::optional<RecognitionResult>> results;
  std::vector<std::optional<RecognitionError>> errors;

  ResultHandler handler() {
    return [this](const std::optional<RecognitionResult>& result,
                  const std::optional<RecognitionError>& error) {
      results.push_back(result);
      errors.push_back(error);
    };
  }
  size_t size() const { return results.size(); }
  bool ended() const {
    return !results.empty() &&
           (errors.back() || (results.back() && results.back()->isFinal));
  }
};

// Planar samples, channel after channel.
struct Sound {
  double rate = 0;
  uint32_t channels = 0;
  std::vector<float> samples;
  size_t frames() const { return samples.size() / channels; }
  double seconds() const { return frames() / rate; }
};

Sound goForward() {
  std::ifstream in(testData + "/goforward.raw", std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
  Sound sound{16000, 1, {}};
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto low = static_cast<uint8_t>(bytes[i]);
    const auto high = static_cast<uint8_t>(bytes[i + 1]);
    const auto sample = static_cast<int16_t>(low | (high << 8));
    sound.samples.push_back(sample / 32768.0f);
  }
  return sound;
}

Sound librivox() {
  SF_INFO info{};
  SNDFILE* file = sf_open(
      (testData + "/librivox/sense_and_sensibility_01_austen_64kb-0880.wav")
          .c_str(),
      SFM_READ, &info);
  EXPECT_NE(file, nullptr);
  Sound sound{static_cast<double>(info.samplerate), 1,
              std::vector<float>(info.frames)};
  sf_readf_float(file, sound.samples.data(), info.frames);
  sf_close(file);
  return sound;
}

// The mono sound at rate on two channels.
Sound stereoAt(const Sound& mono, double rate) {
  const double ratio = rate / mono.rate;
  std::vector<float> converted(mono.frames() * ratio + 16);
  SRC_DATA data{};
  data.data_in = mono.samples.data();
  data.input_frames = static_cast<long>(mono.frames());
  data.data_out = converted.data();
  data.output_frames = static_cast<long>(converted.size());
  data.src_ratio = ratio;
  EXPECT_EQ(src_simple(&data, SRC_SINC_FASTEST, 1), 0);
  converted.resize(data.output_frames_gen);
  Sound stereo{rate, 2, converted};
  stereo.samples.insert(stereo.samples.end(), converted.begin(),
                        converted.end());
  return stereo;
}

Sound silence(double seconds) {
  return {16000, 1, std::vector<float>(static_cast<size_t>(16000 * seconds))};
}

// Feeds sound as the capture thread would, in buffers of 1024 frames.
void feed(RecognitionRequest& request, const Sound& sound) {
  const size_t frames = sound.frames();
  std::vector<const float*> channels(sound.channels);
  for (size_t start = 0; start < frames; start += 1024) {
    const auto length =
        static_cast<uint32_t>(std::min<size_t>(1024, frames - start));
    for (uint32_t c = 0; c < sound.channels; ++c) {
      channels[c] = sound.samples.data() + c * frames + start;
    }
    request.append({length, channels, sound.rate});
  }
}

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start)
      .count();
}

// Each engine on its own: a root that holds only its model.
struct EngineRoot {
  const char* engine;
  std::string root;
};
const EngineRoot transducer{"transducer", projectRoot};
const EngineRoot pocketSphinx{"PocketSphinx", sphinxRoot};
void PrintTo(const EngineRoot& engine, std::ostream* out) {
  *out << engine.engine;
}
std::string engineName(const testing::TestParamInfo<EngineRoot>& param) {
  return param.param.engine;
}

class OnDeviceSpeechServiceTest : public testing::TestWithParam<EngineRoot> {
 protected:
  OnDeviceSpeechServiceTest()
      : store("/nonexistent/quorvel-privacy"),
        service(queue, store, ModelDirectory({GetParam().root}), languages) {}

  // Recognises sound in one task and drains its results.
  Calls recognise(const Sound& sound) {
    Calls calls;
    std::unique_ptr<SpeechRecognizer> recognizer = service.recognizer("en-US");
    EXPECT_TRUE(recognizer && recognizer->isAvailable());
    if (!recognizer) return calls;
    std::shared_ptr<RecognitionRequest> request = recognizer->makeRequest();
    std::unique_ptr<RecognitionTask> task =
        recognizer->recognitionTask(request, calls.handler());
    feed(*request, sound);
    request->endAudio();
    EXPECT_TRUE(queue.runUntil([&] { return calls.ended(); }));
    return calls;
  }

  DrainedQueue queue;
  PrivacyStore store;
  FixedLanguages languages;
  OnDeviceSpeechService service;
};

INSTANTIATE_TEST_SUITE_P(Engines, OnDeviceSpeechServiceTest,
                         testing::Values(transducer, pocketSphinx), engineName);

TEST_P(OnDeviceSpeechServiceTest, PartialsThenOneFinalWithTheWords) {
  const auto loadStart = Clock::now();
  std::unique_ptr<SpeechRecognizer> recognizer = service.recognizer("en-US");
  ASSERT_TRUE(recognizer);
  EXPECT_TRUE(recognizer->isAvailable());
  EXPECT_TRUE(recognizer->supportsOnDeviceRecognition());
  std::cout << "[ figures  ] model available after "
            << millisecondsSince(loadStart) << " ms\n";

  Calls calls = recognise(goForward());
  ASSERT_GE(calls.size(), 2u);
  for (size_t i = 0; i + 1 < calls.size(); ++i) {
    ASSERT_TRUE(calls.results[i]);
    EXPECT_FALSE(calls.results[i]->isFinal);
    EXPECT_FALSE(calls.errors[i]);
  }
  ASSERT_TRUE(calls.results.back());
  EXPECT_TRUE(calls.results.back()->isFinal);
  // Every engine writes lower-case words and single spaces.
  EXPECT_THAT(calls.results.back()->bestText,
              testing::MatchesRegex("[a-z']+( [a-z']+)*"));
  EXPECT_NE(calls.results.back()->bestText.find("forward"), std::string::npos)
      << calls.results.back()->bestText;
}

TEST_P(OnDeviceSpeechServiceTest, ConvertsOtherRatesAndChannels) {
  const Sound sound = stereoAt(librivox(), 44100);
  const auto start = Clock::now();
  Calls calls = recognise(sound);
  std::cout << "[ figures  ] decoded " << sound.seconds() << " s of "
            << "44.1 kHz stereo with real-time factor "
            << millisecondsSince(start) / 1000 / sound.seconds() << "\n";
  ASSERT_TRUE(calls.results.back());
  EXPECT_NE(calls.results.back()->bestText.find("young man"), std::string::npos)
      << calls.results.back()->bestText;
}

TEST_P(OnDeviceSpeechServiceTest, SilenceEndsWithNoSpeechDetected) {
  Calls calls = recognise(silence(1.0));
  ASSERT_TRUE(calls.errors.back());
  EXPECT_EQ(calls.errors.back()->domain, "kAFAssistantErrorDomain");
  EXPECT_EQ(calls.errors.back()->code, 1110);
  EXPECT_FALSE(calls.results.back());
}

TEST_P(OnDeviceSpeechServiceTest,
       CancelDeliversOneCancellationAndNothingAfter) {
  std::unique_ptr<SpeechRecognizer> recognizer = service.recognizer("en-US");
  ASSERT_TRUE(recognizer && recognizer->isAvailable());
  Calls cancelled;
  std::shared_ptr<RecognitionRequest> request = recognizer->makeRequest();
  std::unique_ptr<RecognitionTask> task =
      recognizer->recognitionTask(request, cancelled.handler());
  feed(*request, goForward());
  task->cancel();
  task->cancel();
  ASSERT_TRUE(queue.runUntil([&] { return cancelled.ended(); }));
  // Feeding and ending after the cancellation must change nothing.
  feed(*request, goForward());
  request->endAudio();
  task.reset();
  request.reset();

  // Tasks of a model are decoded in order: once a later one has ended,
  // the decoder is done with the cancelled one.
  Calls later = recognise(silence(0.5));
  ASSERT_TRUE(later.ended());
  ASSERT_TRUE(cancelled.errors.back());
  EXPECT_EQ(cancelled.errors.back()->domain, "kAFAssistantErrorDomain");
  EXPECT_EQ(cancelled.errors.back()->code, 216);
  for (size_t i = 0; i + 1 < cancelled.size(); ++i) {
    EXPECT_FALSE(cancelled.errors[i]);
    EXPECT_FALSE(cancelled.results[i]->isFinal);
  }
}

TEST_P(OnDeviceSpeechServiceTest, LaterTasksReuseTheLoadedModel) {
  ASSERT_TRUE(service.recognizer("en-US")->isAvailable());
  const auto start = Clock::now();
  std::unique_ptr<SpeechRecognizer> recognizer = service.recognizer("en_us");
  ASSERT_TRUE(recognizer && recognizer->isAvailable());
  std::shared_ptr<RecognitionRequest> request = recognizer->makeRequest();
  Calls calls;
  std::unique_ptr<RecognitionTask> task =
      recognizer->recognitionTask(request, calls.handler());
  std::cout << "[ figures  ] recogniser, request and task made in "
            << millisecondsSince(start) << " ms\n";
  feed(*request, goForward());
  request->endAudio();
  ASSERT_TRUE(queue.runUntil([&] { return calls.ended(); }));
  EXPECT_TRUE(calls.results.back() && calls.results.back()->isFinal);
}

TEST_P(OnDeviceSpeechServiceTest, RecognisersOnlyForLocalesWithAModel) {
  EXPECT_FALSE(service.recognizer("xx-YY"));
  EXPECT_FALSE(service.defaultRecognizer());
  languages.preferred = {"de-DE", "en-US"};
  EXPECT_FALSE(service.defaultRecognizer());
  languages.preferred = {"en_US", "de-DE"};
  EXPECT_TRUE(service.defaultRecognizer());
}

// What only PocketSphinx has: its own log, and a library that exits the
// process on a damaged model.
class PocketSphinxServiceTest : public OnDeviceSpeechServiceTest {};
INSTANTIATE_TEST_SUITE_P(Engine, PocketSphinxServiceTest,
                         testing::Values(pocketSphinx), engineName);

TEST_P(PocketSphinxServiceTest, LibraryLogGoesToItsFileNeverToStderr) {
  // A fresh process, so that the model and the log are set up anew; it
  // runs this test again up to the statement, hence everything inside.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const fs::path log = fs::temp_directory_path() /
                             ("sphinx-log-" + std::to_string(getpid()));
        setenv("QUORVEL_SPHINX_LOG", log.c_str(), 1);
        const bool loaded = service.recognizer("en-US")->isAvailable();
        recognise(goForward());
        const bool logged = fs::file_size(log) > 0;
        fs::remove(log);
        std::_Exit(loaded && logged ? 0 : 1);
      },
      testing::ExitedWithCode(0),
      testing::MatchesRegex("(quorvel: [^\n]*\n)*"));
  GTEST_FLAG_SET(death_test_style, "fast");
}

TEST_P(PocketSphinxServiceTest, DamagedModelIsUnavailableAndTasksFail) {
  std::string pattern = (fs::temp_directory_path() / "model-XXXXXX");
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const fs::path folder = fs::path(pattern) / "en-zz";
  fs::create_directories(folder / "am");
  // The library exits the process on a damaged model definition.
  std::ofstream(folder / "am" / "mdef") << "garbage";
  fs::copy_file(sphinxRoot + "/en-us/cmudict-en-us.dict", folder / "z.dict");
  fs::copy_file(sphinxRoot + "/en-us/en-us-phone.lm.bin", folder / "z.lm.bin");
  OnDeviceSpeechService damaged(queue, store, ModelDirectory({pattern}),
                                languages);

  std::unique_ptr<SpeechRecognizer> recognizer = damaged.recognizer("en-ZZ");
  ASSERT_TRUE(recognizer);
  EXPECT_FALSE(recognizer->isAvailable());
  Calls calls;
  std::unique_ptr<RecognitionTask> task =
      recognizer->recognitionTask(recognizer->makeRequest(), calls.handler());
  ASSERT_TRUE(queue.runUntil([&] { return calls.ended(); }));
  ASSERT_TRUE(calls.errors.back());
  EXPECT_EQ(calls.errors.back()->domain, "QuorvelRecognitionErrorDomain");
  fs::remove_all(pattern);
}

}  // namespace
}  // namespace quorvel
