#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <stdexcept>

#include "platform/linux/speech/decoding_thread.h"
#include "platform/linux/speech/on_device_speech_service.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;

const std::string sphinxRoot = "/usr/share/pocketsphinx/model";
const std::string testData = "/usr/share/pocketsphinx/test/data";

// Blocks posted from any thread run on the test's while it waits.
class DrainedQueue : public MainQueue {
 public:
  void async(std::function<void()> block) override {
    std::lock_guard<std::mutex> lock(mutex);
    blocks.push_back(std::move(block));
    ready.notify_one();
  }
  void asyncAfter(double, std::shared_ptr<WorkItem> item) override {
    async([item] { item->perform(); });
  }
  void exitProcess(int) override { ADD_FAILURE() << "exitProcess called"; }
  // Runs blocks until done(); false when a minute passes first.
  bool runUntil(const std::function<bool()>& done) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!done()) {
      std::unique_lock<std::mutex> lock(mutex);
      if (!ready.wait_until(lock, deadline, [&] { return !blocks.empty(); }))
        return false;
      auto block = std::move(blocks.front());
      blocks.pop_front();
      lock.unlock();
      block();
    }
    return true;
  }

 private:
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<std::function<void()>> blocks;
};

// Every call of one task's handler, in order; the last one ends it. Kept
// alive by the handler, for calls that would come too late.
struct Calls : std::enable_shared_from_this<Calls> {
  std::vector<std::optional<RecognitionResult>> results;
  std::vector<std::optional<RecognitionError>> errors;
  ResultHandler handler() {
    return [self = shared_from_this()](const auto& result, const auto& error) {
      self->results.push_back(result);
      self->errors.push_back(error);
    };
  }
  bool ended() const {
    return !results.empty() &&
           (errors.back() || (results.back() && results.back()->isFinal));
  }
};

// Planar samples at rate, channel after channel.
struct Sound {
  double rate;
  uint32_t channels;
  std::vector<float> samples;
};

Sound load(const std::string& path) {
  SF_INFO info{0, 16000, 1, SF_FORMAT_RAW | SF_FORMAT_PCM_16, 0, 0};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  Sound sound{16000, 1, std::vector<float>(info.frames)};
  sf_readf_float(file, sound.samples.data(), info.frames);
  sf_close(file);
  return sound;
}

// Feeds a request or stream as a capture thread would, 1024 frames at a
// time.
template <typename Request>
void feed(Request& request, const Sound& sound) {
  const size_t frames = sound.samples.size() / sound.channels;
  std::vector<const float*> channels(sound.channels);
  for (size_t start = 0; start < frames; start += 1024) {
    for (uint32_t c = 0; c < sound.channels; ++c)
      channels[c] = sound.samples.data() + c * frames + start;
    request.append(
        {static_cast<uint32_t>(std::min<size_t>(1024, frames - start)),
         channels, sound.rate});
  }
}

struct FixedLanguages : UserLanguages {
  std::vector<std::string> preferred;
  std::vector<std::string> preferredLanguages() const override {
    return preferred;
  }
};

// Each engine alone: a root holding only its model.
class OnDeviceSpeechServiceTest : public testing::TestWithParam<std::string> {
 protected:
  std::shared_ptr<Calls> recognise(const Sound& sound, bool cancel = false) {
    auto calls = std::make_shared<Calls>();
    auto recognizer = service.recognizer("en-US");
    EXPECT_TRUE(recognizer && recognizer->isAvailable());
    if (!recognizer) return calls;
    auto request = recognizer->makeRequest();
    auto task = recognizer->recognitionTask(request, calls->handler());
    feed(*request, sound);
    if (cancel) task->cancel(), task->cancel();
    request->endAudio();
    EXPECT_TRUE(queue.runUntil([&] { return calls->ended(); }));
    // Feeding and ending after the end change nothing.
    feed(*request, sound);
    request->endAudio();
    return calls;
  }

  DrainedQueue queue;
  PrivacyStore store{"/nonexistent/privacy"};
  FixedLanguages languages;
  OnDeviceSpeechService service{queue, store, ModelDirectory({GetParam()}),
                                languages};
};

INSTANTIATE_TEST_SUITE_P(Engines, OnDeviceSpeechServiceTest,
                         testing::Values(QUORVEL_SOURCE_DIR "/models",
                                         sphinxRoot),
                         [](const auto& root) {
                           return root.index ? "PocketSphinx" : "transducer";
                         });

// Partials, then one final of lower-case words, from 16 kHz mono or from
// 48 kHz stereo; silence ends with "No speech detected"; a cancel ends
// with one cancellation. The model loads once.
TEST_P(OnDeviceSpeechServiceTest, RecognisesSpeechAndEndsEveryTask) {
  const Sound goForward = load(testData + "/goforward.raw");
  Sound youngMan = load(testData +
                        "/librivox/"
                        "sense_and_sensibility_01_austen_64kb-0880.wav");
  Sound stereo{48000, 2, {}};
  for (int channel = 0; channel < 2; ++channel) {
    for (float sample : youngMan.samples)
      stereo.samples.insert(stereo.samples.end(), 3, sample);
  }
  for (const auto& [sound, words] :
       {std::pair{goForward, "forward"}, std::pair{stereo, "young man"}}) {
    const auto calls = recognise(sound);
    ASSERT_GE(calls->results.size(), 2u);
    for (size_t i = 0; i + 1 < calls->results.size(); ++i) {
      EXPECT_FALSE(calls->errors[i] || calls->results[i]->isFinal);
    }
    ASSERT_TRUE(calls->results.back());
    EXPECT_THAT(calls->results.back()->bestText,
                testing::MatchesRegex("[a-z']+( [a-z']+)*"));
    EXPECT_THAT(calls->results.back()->bestText, HasSubstr(words));
  }
  const auto silence = recognise({16000, 1, std::vector<float>(16000)});
  ASSERT_TRUE(silence->errors.back());
  EXPECT_EQ(silence->errors.back()->code, noSpeechCode);
  EXPECT_FALSE(silence->results.back());
  const auto cancelled = recognise(goForward, /*cancel=*/true);
  // Tasks of a model are decoded in order: once a later one has ended,
  // nothing more comes for the cancelled one.
  recognise({16000, 1, std::vector<float>(8000)});
  ASSERT_TRUE(cancelled->errors.back());
  EXPECT_EQ(cancelled->errors.back()->domain, routineEndDomain);
  EXPECT_EQ(cancelled->errors.back()->code, taskCancelledCode);
  for (size_t i = 0; i + 1 < cancelled->results.size(); ++i) {
    EXPECT_FALSE(cancelled->errors[i] || cancelled->results[i]->isFinal);
  }
}

TEST_P(OnDeviceSpeechServiceTest, RecognisersOnlyForLocalesWithAModel) {
  EXPECT_TRUE(service.recognizer("en_us"));
  EXPECT_FALSE(service.recognizer("xx-YY"));
  EXPECT_FALSE(service.defaultRecognizer());
  languages.preferred = {"de-DE", "en-US"};
  EXPECT_FALSE(service.defaultRecognizer());
  languages.preferred = {"en_US", "de-DE"};
  EXPECT_TRUE(service.defaultRecognizer());
}

// PocketSphinx logs to its file, never to standard error; a fresh process
// sets up the model and the log anew.
TEST(PocketSphinxTest, LogGoesToItsFileAndADamagedModelFailsItsTasks) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const fs::path log = fs::temp_directory_path() / "sphinx-log";
  EXPECT_EXIT(
      {
        setenv("QUORVEL_SPHINX_LOG", log.c_str(), 1);
        DrainedQueue queue;
        PrivacyStore store("/nonexistent/privacy");
        FixedLanguages languages;
        OnDeviceSpeechService service(queue, store,
                                      ModelDirectory({sphinxRoot}), languages);
        auto recognizer = service.recognizer("en-US");
        std::_Exit(recognizer->isAvailable() && fs::file_size(log) > 0 ? 0 : 1);
      },
      testing::ExitedWithCode(0),
      testing::MatchesRegex("(quorvel: [^\n]*\n)*"));
  fs::remove(log);

  // The library exits the process on a damaged model definition.
  std::string dir = fs::temp_directory_path() / "model-XXXXXX";
  ASSERT_TRUE(mkdtemp(dir.data()));
  fs::create_directories(dir + "/en-zz/am");
  std::ofstream(dir + "/en-zz/am/mdef") << "garbage";
  fs::copy_file(sphinxRoot + "/en-us/cmudict-en-us.dict",
                dir + "/en-zz/z.dict");
  fs::copy_file(sphinxRoot + "/en-us/en-us-phone.lm.bin",
                dir + "/en-zz/z.lm.bin");
  DrainedQueue queue;
  PrivacyStore store("/nonexistent/privacy");
  FixedLanguages languages;
  OnDeviceSpeechService damaged(queue, store, ModelDirectory({dir}), languages);
  auto recognizer = damaged.recognizer("en-ZZ");
  ASSERT_TRUE(recognizer);
  EXPECT_FALSE(recognizer->isAvailable());
  auto calls = std::make_shared<Calls>();
  auto task =
      recognizer->recognitionTask(recognizer->makeRequest(), calls->handler());
  ASSERT_TRUE(queue.runUntil([&] { return calls->ended(); }));
  EXPECT_EQ(calls->errors.back()->domain, recognitionErrorDomain);
  fs::remove_all(dir);
}

// Ways an engine library can end the process on a damaged model.
enum class Fault { None, NoDecoder, Throw, Abort, Crash, Exit, FatalLog };

void commit(Fault fault) {
  if (fault == Fault::Throw)
    throw std::runtime_error("Protobuf parsing failed.");
  if (fault == Fault::Abort) std::abort();
  if (fault == Fault::Crash) raise(SIGSEGV);
  if (fault == Fault::Exit) std::exit(1);
  if (fault == Fault::FatalLog) stopDecodingThreadOnFatalError("bad mdef");
}

struct FaultyEngine : Engine, Decoder {
  FaultyEngine(Fault atLoad, Fault atFeed) : atLoad(atLoad), atFeed(atFeed) {}
  const char* name() const override { return "faulty"; }
  bool hasModel(const std::string&) override { return true; }
  std::unique_ptr<Decoder> load(const std::string&,
                                std::string& failure) override {
    commit(atLoad);
    failure = "no decoder";
    if (atLoad == Fault::NoDecoder) return nullptr;
    return std::make_unique<FaultyEngine>(atLoad, atFeed);
  }
  bool beginUtterance() override { return true; }
  bool feed(std::span<const float>) override {
    commit(atFeed);
    return true;
  }
  std::string text() override { return "hello"; }
  std::optional<std::string> endUtterance() override { return "hello"; }
  const Fault atLoad, atFeed;
};

// A failing library stops only its model's thread: the process goes on,
// the task ends with an error, and the model stays unusable. Each case in
// a process of its own, since a stopped thread stays for its life.
TEST(DecodingThreadTest, LibraryFailuresStopOnlyTheirModel) {
  const std::tuple<Fault, Fault, const char*, int64_t> cases[] = {
      {Fault::NoDecoder, Fault::None, "no decoder", 1},
      {Fault::Throw, Fault::None,
       "uncaught exception: Protobuf parsing failed.", 1},
      {Fault::Abort, Fault::None, "aborted (SIGABRT)", 1},
      {Fault::Crash, Fault::None, "crashed (SIGSEGV)", 1},
      {Fault::Exit, Fault::None, "called exit()", 1},
      {Fault::FatalLog, Fault::None, "bad mdef", 1},
      {Fault::None, Fault::Throw, "Protobuf parsing", 3},
      {Fault::None, Fault::Abort, "aborted (SIGABRT)", 3},
      {Fault::None, Fault::Exit, "called exit()", 3}};
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const auto& [atLoad, atFeed, reason, code] : cases) {
    EXPECT_EXIT(
        {
          static FaultyEngine engine(atLoad, atFeed);
          auto model = DecodingThread::forModel(engine, "/models/en");
          const bool loaded = model->usable();
          DrainedQueue queue;
          auto calls = std::make_shared<Calls>();
          auto stream = std::make_shared<RecognitionStream>();
          stream->attach(queue, calls->handler());
          model->decode(stream);
          feed(*stream, {16000, 1, std::vector<float>(1600)});
          stream->endAudio();
          const bool failed =
              queue.runUntil([&] { return calls->ended(); }) &&
              calls->errors.back() &&
              calls->errors.back()->domain == recognitionErrorDomain &&
              calls->errors.back()->code == code;
          std::_Exit(loaded == (atLoad == Fault::None) && failed &&
                             !model->usable()
                         ? 0
                         : 1);
        },
        testing::ExitedWithCode(0),
        testing::AllOf(
            HasSubstr(
                "quorvel: the faulty model in /models/en cannot be used: "),
            HasSubstr(reason)))
        << reason;
  }
}

}  // namespace
}  // namespace quorvel
