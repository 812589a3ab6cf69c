#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "platform/linux/speech/decoding_thread.h"
#include "platform/linux/speech/on_device_speech_service.h"
#include "tests/fakes/fakes.h"

namespace quorvel {
namespace {

using testing::HasSubstr;

const std::string sphinxRoot = "/usr/share/pocketsphinx/model";
const std::string data = "/usr/share/pocketsphinx/test/data/";

// Every call of one task's handler, in order, until one ends the task.
// The handler keeps it alive, for calls that would come too late.
struct Calls : std::enable_shared_from_this<Calls> {
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
  // Runs what the decoding threads post until the task ends (a minute).
  bool wait(FakeMainQueue& queue) {
    for (int i = 0; i < 60000 && !ended(); ++i) {
      queue.runUntilIdle();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return ended();
  }
  std::vector<std::optional<RecognitionResult>> results;
  std::vector<std::optional<RecognitionError>> errors;
};

// 16-bit samples at 16 kHz, repeated to rate and onto channels, planar.
AudioChunk sound(const std::string& path, int rate = 16000, int channels = 1) {
  SF_INFO info{0, 16000, 1, SF_FORMAT_RAW | SF_FORMAT_PCM_16, 0, 0};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  std::vector<float> mono(info.frames);
  sf_readf_float(file, mono.data(), info.frames);
  sf_close(file);
  AudioChunk chunk{double(rate),
                   uint32_t(channels),
                   uint32_t(mono.size() * rate / 16000),
                   {}};
  for (int c = 0; c < channels; ++c) {
    for (float sample : mono)
      chunk.samples.insert(chunk.samples.end(), rate / 16000, sample);
  }
  return chunk;
}

// Feeds a request or stream as a capture thread does, 1024 frames a time.
template <typename Request>
void feed(Request& request, const AudioChunk& chunk) {
  std::vector<const float*> channels(chunk.channels);
  for (uint32_t start = 0; start < chunk.frames; start += 1024) {
    for (uint32_t c = 0; c < chunk.channels; ++c)
      channels[c] = chunk.samples.data() + c * chunk.frames + start;
    request.append(
        {std::min(1024u, chunk.frames - start), channels, chunk.sampleRate});
  }
}

// Each engine alone: a root holding only its model.
class OnDeviceSpeechServiceTest : public testing::TestWithParam<std::string> {
 protected:
  std::shared_ptr<Calls> recognise(const AudioChunk& chunk,
                                   bool cancel = false) {
    auto calls = std::make_shared<Calls>();
    auto recognizer = service.recognizer("en-US");
    EXPECT_TRUE(recognizer && recognizer->isAvailable());
    auto request = recognizer->makeRequest();
    auto task = recognizer->recognitionTask(request, calls->handler());
    feed(*request, chunk);
    if (cancel) task->cancel(), task->cancel();
    request->endAudio();
    EXPECT_TRUE(calls->wait(fake.queue));
    feed(*request, chunk);  // after the end: changes nothing
    request->endAudio();
    return calls;
  }

  FakePlatform fake;
  PrivacyStore store{"/nonexistent/privacy"};
  OnDeviceSpeechService service{fake.queue, store, ModelDirectory({GetParam()}),
                                fake};
};

INSTANTIATE_TEST_SUITE_P(Engines, OnDeviceSpeechServiceTest,
                         testing::Values(QUORVEL_SOURCE_DIR "/models",
                                         sphinxRoot),
                         [](const auto& root) {
                           return root.index ? "PocketSphinx" : "transducer";
                         });

// Partials, then one final of lower-case words, from 16 kHz mono or 48 kHz
// stereo; silence ends with "No speech detected"; a cancel with one
// cancellation and nothing after. The model loads once.
TEST_P(OnDeviceSpeechServiceTest, RecognisesSpeechAndEndsEveryTask) {
  const std::string youngMan =
      data + "librivox/sense_and_sensibility_01_austen_64kb-0880.wav";
  for (const auto& [chunk, words] :
       {std::pair{sound(data + "goforward.raw"), "forward"},
        std::pair{sound(youngMan, 48000, 2), "young man"}}) {
    const auto calls = recognise(chunk);
    ASSERT_GE(calls->results.size(), 2u);
    for (size_t i = 0; i + 1 < calls->results.size(); ++i)
      EXPECT_FALSE(calls->errors[i] || calls->results[i]->isFinal);
    ASSERT_TRUE(calls->results.back());
    EXPECT_THAT(calls->results.back()->bestText,
                testing::MatchesRegex("[a-z']+( [a-z']+)*"));
    EXPECT_THAT(calls->results.back()->bestText, HasSubstr(words));
  }
  const auto silence = recognise({16000, 1, 16000, std::vector<float>(16000)});
  ASSERT_TRUE(silence->errors.back());
  EXPECT_EQ(silence->errors.back()->code, noSpeechCode);
  EXPECT_FALSE(silence->results.back());
  const auto cancelled = recognise(sound(data + "goforward.raw"), true);
  // A model decodes its tasks in order: once a later one has ended, the
  // cancelled one is done with.
  recognise({16000, 1, 8000, std::vector<float>(8000)});
  ASSERT_TRUE(cancelled->errors.back());
  EXPECT_EQ(cancelled->errors.back()->domain, routineEndDomain);
  EXPECT_EQ(cancelled->errors.back()->code, taskCancelledCode);
  for (size_t i = 0; i + 1 < cancelled->results.size(); ++i)
    EXPECT_FALSE(cancelled->errors[i] || cancelled->results[i]->isFinal);
}

// Ways an engine library fails on a damaged model.
enum class Fault { None, NoDecoder, Throw, Abort, Crash, Exit, FatalLog };

struct FaultyEngine : Engine, Decoder {
  FaultyEngine(Fault atLoad, Fault atFeed) : atLoad(atLoad), atFeed(atFeed) {}
  static void commit(Fault fault) {
    if (fault == Fault::Throw)
      throw std::runtime_error("Protobuf parsing failed.");
    if (fault == Fault::Abort) std::abort();
    if (fault == Fault::Crash) raise(SIGSEGV);
    if (fault == Fault::Exit) std::exit(1);
    if (fault == Fault::FatalLog) endProcessOnFatalEngineError("bad mdef");
  }
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
  void cut(size_t) override {}
  std::optional<std::string> endUtterance() override { return "hello"; }
  const Fault atLoad, atFeed;
};

// A library that fails to load without crashing leaves its model unusable
// and the process going. One that would end the process ends it there, at
// load or while decoding: the model's line on standard error, the
// unavailable record on standard output (sent to standard error here, to
// be seen), status 3. Each case in a process of its own.
TEST(DecodingThreadTest, LibraryFailuresEndTheProcessWithStatusThree) {
  const std::string unavailable =
      R"x({"type":"error","message":"SFSpeechRecognizer unavailable (dictation\/Siri disabled?)","fatal":true})x"
      "\n";
  const std::pair<Fault, std::string> faults[] = {
      {Fault::Throw,
       "the library ended on an uncaught exception: Protobuf parsing failed."},
      {Fault::Abort, "the library aborted (SIGABRT)"},
      {Fault::Crash, "the library crashed (SIGSEGV)"},
      {Fault::Exit, "the library called exit()"},
      {Fault::FatalLog, "bad mdef"}};
  std::vector<std::tuple<Fault, Fault, int, std::string>> cases = {
      {Fault::NoDecoder, Fault::None, 0, "cannot be used: no decoder\n"}};
  for (const auto& [fault, reason] : faults) {
    for (bool atLoad : {true, false}) {
      cases.emplace_back(atLoad ? fault : Fault::None,
                         atLoad ? Fault::None : fault, 3,
                         "failed: " + reason + "\n" + unavailable);
    }
  }
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const auto& [atLoad, atFeed, status, ending] : cases) {
    EXPECT_EXIT(
        {
          dup2(STDERR_FILENO, STDOUT_FILENO);
          static FaultyEngine engine(atLoad, atFeed);
          auto model = DecodingThread::forModel(engine, "/models/en");
          const bool loaded = model->usable();
          FakeMainQueue queue;
          auto calls = std::make_shared<Calls>();
          auto stream = std::make_shared<RecognitionStream>();
          stream->attach(queue, calls->handler());
          model->decode(stream);
          feed(*stream, {16000, 1, 1600, std::vector<float>(1600)});
          stream->endAudio();
          const bool failed =
              calls->wait(queue) && calls->errors.back() &&
              calls->errors.back()->domain == recognitionErrorDomain &&
              calls->errors.back()->code ==
                  int64_t(RecognitionErrorCode::ModelUnavailable);
          std::_Exit(!loaded && failed && !model->usable() ? 0 : 1);
        },
        testing::ExitedWithCode(status),
        testing::EndsWith("quorvel: the faulty model in /models/en " + ending))
        << ending;
  }
}

}  // namespace
}  // namespace quorvel
