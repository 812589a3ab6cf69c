#include "platform/linux/speech/decoding_thread.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorvel {
namespace {

// Ways an engine library ends the process on a damaged model.
enum class Fault { None, NoDecoder, Throw, Abort, Crash, Exit, FatalLog };

void commit(Fault fault) {
  switch (fault) {
    case Fault::Throw:
      throw std::runtime_error("Protobuf parsing failed.");
    case Fault::Abort:
      std::abort();
    case Fault::Crash:
      raise(SIGSEGV);
      break;
    case Fault::Exit:
      std::exit(1);
    case Fault::FatalLog:
      stopDecodingThreadOnFatalError("PocketSphinx: bad mdef");
      break;
    case Fault::None:
    case Fault::NoDecoder:
      break;
  }
}

class FaultyDecoder : public Decoder {
 public:
  explicit FaultyDecoder(Fault atFeed) : atFeed(atFeed) {}
  bool beginUtterance() override { return true; }
  bool feed(std::span<const float>) override {
    commit(atFeed);
    return true;
  }
  std::string text() override { return "hello"; }
  std::optional<std::string> endUtterance() override { return "hello"; }

 private:
  const Fault atFeed;
};

class FaultyEngine : public Engine {
 public:
  FaultyEngine(Fault atLoad, Fault atFeed) : atLoad(atLoad), atFeed(atFeed) {}
  const char* name() const override { return "faulty"; }
  bool hasModel(const std::string&) override { return true; }
  std::unique_ptr<Decoder> load(const std::string&,
                                std::string& failure) override {
    commit(atLoad);
    if (atLoad == Fault::NoDecoder) {
      failure = "no decoder";
      return nullptr;
    }
    return std::make_unique<FaultyDecoder>(atFeed);
  }

 private:
  const Fault atLoad, atFeed;
};

// Runs every block at once, on whichever thread posts it.
class ImmediateQueue : public MainQueue {
 public:
  void async(std::function<void()> block) override { block(); }
  void asyncAfter(double, std::shared_ptr<WorkItem> item) override {
    item->perform();
  }
  void exitProcess(int) override { ADD_FAILURE() << "exitProcess called"; }
};

// The last call of one task, waited for from the test's thread.
class LastCall {
 public:
  ResultHandler handler() {
    return [this](const std::optional<RecognitionResult>& result,
                  const std::optional<RecognitionError>& error) {
      std::lock_guard<std::mutex> lock(mutex);
      if (error || (result && result->isFinal)) {
        ended = true;
        lastError = error;
        lastResult = result;
      }
      changed.notify_all();
    };
  }
  bool waitForEnd() {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(30),
                            [this] { return ended; });
  }
  std::optional<RecognitionError> error() {
    std::lock_guard<std::mutex> lock(mutex);
    return lastError;
  }
  std::optional<RecognitionResult> result() {
    std::lock_guard<std::mutex> lock(mutex);
    return lastResult;
  }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  bool ended = false;
  std::optional<RecognitionError> lastError;
  std::optional<RecognitionResult> lastResult;
};

// Decodes a tenth of a second of silence with model.
void decodeSome(DecodingThread& model, ImmediateQueue& queue, LastCall& call) {
  auto stream = std::make_shared<RecognitionStream>();
  stream->attach(queue, call.handler());
  model.decode(stream);
  std::vector<float> samples(1600, 0.0f);
  const float* channels[] = {samples.data()};
  stream->append({1600, channels, 16000});
  stream->endAudio();
}

// Each case runs in a process of its own: a stopped thread stays for the
// life of its process, and so do the catchers.
TEST(DecodingThreadTest, LibraryFailuresStopOnlyTheirModel) {
  struct Case {
    const char* name;
    Fault atLoad, atFeed;
    const char* reason;  // in the model's diagnostic line
    int64_t code;        // of the task's error
  };
  const Case cases[] = {
      {"no decoder", Fault::NoDecoder, Fault::None, "no decoder", 1},
      {"throw at load", Fault::Throw, Fault::None,
       "uncaught exception: Protobuf parsing failed.", 1},
      {"abort at load", Fault::Abort, Fault::None, "aborted (SIGABRT)", 1},
      {"crash at load", Fault::Crash, Fault::None, "crashed (SIGSEGV)", 1},
      {"exit at load", Fault::Exit, Fault::None, "called exit()", 1},
      {"fatal log at load", Fault::FatalLog, Fault::None, "bad mdef", 1},
      {"throw in feed", Fault::None, Fault::Throw, "Protobuf parsing", 3},
      {"abort in feed", Fault::None, Fault::Abort, "aborted (SIGABRT)", 3},
      {"exit in feed", Fault::None, Fault::Exit, "called exit()", 3},
  };
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const Case& test : cases) {
    EXPECT_EXIT(
        {
          static FaultyEngine engine(test.atLoad, test.atFeed);
          std::shared_ptr<DecodingThread> model =
              DecodingThread::forModel(engine, "/models/en");
          const bool loaded = model->usable();
          ImmediateQueue queue;
          LastCall call;
          decodeSome(*model, queue, call);
          const bool ended = call.waitForEnd();
          const std::optional<RecognitionError> error = call.error();
          const bool failed = error &&
                              error->domain == recognitionErrorDomain &&
                              error->code == test.code;
          // The process goes on, and a broken model stays broken.
          const bool brokenAfter = !model->usable();
          const bool expected = loaded == (test.atLoad == Fault::None) &&
                                ended && failed && brokenAfter;
          std::_Exit(expected ? 0 : 1);
        },
        testing::ExitedWithCode(0),
        testing::AllOf(testing::HasSubstr("quorvel: the faulty model in "
                                          "/models/en cannot be used: "),
                       testing::HasSubstr(test.reason)))
        << test.name;
  }
  GTEST_FLAG_SET(death_test_style, "fast");
}

}  // namespace
}  // namespace quorvel
