#include "platform/linux/speech/decoding_thread.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "tests/fakes/fakes.h"

namespace quorvel {
namespace {

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
  void usePhrases(std::shared_ptr<const PhraseList>) override {}
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
          auto code = std::make_shared<int64_t>(0);
          auto stream = std::make_shared<RecognitionStream>();
          stream->attach(queue, [code](const auto&, const auto& error) {
            if (error) *code = error->code;
          });
          model->decode(stream);
          const std::vector<float> silence(1600);
          const float* channels[] = {silence.data()};
          stream->append({1600, channels, 16000});
          stream->endAudio();
          // A failure while decoding ends the process meanwhile.
          for (int i = 0; i < 60000 && *code == 0; ++i) {
            queue.runUntilIdle();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
          const auto unusable = int64_t(RecognitionErrorCode::ModelUnavailable);
          std::_Exit(!loaded && *code == unusable && !model->usable() ? 0 : 1);
        },
        testing::ExitedWithCode(status),
        testing::EndsWith("quorvel: the faulty model in /models/en " + ending))
        << ending;
  }
}

}  // namespace
}  // namespace quorvel
