#include "platform/linux/speech/decoding_thread.h"

#include <malloc.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "events/event_writer.h"
#include "platform/linux/speech/matching/matching_decoder.h"

namespace quorvel {
namespace {

// The fatalLineStart of the model whose engine the calling thread is in;
// null outside engine calls. Read by the fatal-failure catchers, signal
// handlers among them: a plain pointer in the executable's own
// thread-local storage is safe to read there.
thread_local const std::string* engineCallLineStart = nullptr;

// Marks the calling thread as in a call of the model that lineStart
// names, for as long as it lives.
class EngineCall {
 public:
  explicit EngineCall(const std::string& lineStart) {
    engineCallLineStart = &lineStart;
  }
  ~EngineCall() { engineCallLineStart = nullptr; }
  EngineCall(const EngineCall&) = delete;
  EngineCall& operator=(const EngineCall&) = delete;
};

// A voice-activity model whose every call is an engine call of its own.
class MarkedDetector : public VoiceDetector {
 public:
  MarkedDetector(std::unique_ptr<VoiceDetector> inner,
                 const std::string& lineStart)
      : detector(std::move(inner)), lineStart(lineStart) {}
  size_t windowLength() const override { return detector->windowLength(); }
  bool detect(std::span<const float> window) override {
    EngineCall call(lineStart);
    return detector->detect(window);
  }
  void reset() override {
    EngineCall call(lineStart);
    detector->reset();
  }

 private:
  std::unique_ptr<VoiceDetector> detector;
  const std::string& lineStart;  // the owner's, which outlives it
};

// Every model object of the process. Never destroyed: decoding threads use
// their models until the process ends.
struct Models {
  std::mutex mutex;
  std::map<std::pair<Engine*, std::string>, std::shared_ptr<DecodingThread>>
      byFolder;
};
Models& models() {
  static Models& all = *new Models;
  return all;
}

// What a parent already knows for "no recogniser can be used", as the
// listener writes it; composed once, before the first engine call, and
// never freed.
const std::string* unavailableRecord = nullptr;
constexpr int unavailableStatus = 3;

constexpr int caughtSignals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL};
struct sigaction previousActions[std::size(caughtSignals)];
std::terminate_handler previousTerminate = nullptr;

const char* signalReason(int signo) {
  switch (signo) {
    case SIGABRT:
      return "the library aborted (SIGABRT)";
    case SIGSEGV:
      return "the library crashed (SIGSEGV)";
    case SIGBUS:
      return "the library crashed (SIGBUS)";
    case SIGFPE:
      return "the library crashed (SIGFPE)";
    default:
      return "the library crashed (SIGILL)";
  }
}

// Ends the process for a fatal failure inside an engine call: the model's
// line with reason on standard error, the record on standard output, each
// in one write, then the status. Only what is safe inside a signal
// handler, and no lock: the failing thread may hold any, and no other
// thread may run our code first. A write that fails is not retried: the
// status alone must then do.
[[noreturn]] void endInEngineCall(const char* reason) {
  char line[4096];
  size_t length = 0;
  auto append = [&](const char* text, size_t size) {
    for (size_t i = 0; i < size && length + 1 < sizeof line; ++i) {
      line[length++] = text[i];
    }
  };
  append(engineCallLineStart->data(), engineCallLineStart->size());
  append(reason, std::strlen(reason));
  line[length++] = '\n';
  [[maybe_unused]] ssize_t ignored = write(STDERR_FILENO, line, length);
  ignored = write(STDOUT_FILENO, unavailableRecord->data(),
                  unavailableRecord->size());
  // _exit's own system call: ThreadSanitizer's _exit flushes standard
  // output (whose lock the failing thread may hold) and waits a second.
  syscall(SYS_exit_group, unavailableStatus);
  __builtin_unreachable();
}

void onFatalSignal(int signo, siginfo_t* info, void* context) {
  if (engineCallLineStart != nullptr) endInEngineCall(signalReason(signo));
  // Not in an engine call: the signal keeps the meaning it had.
  for (size_t i = 0; i < std::size(caughtSignals); ++i) {
    if (caughtSignals[i] != signo) continue;
    const struct sigaction& previous = previousActions[i];
    if ((previous.sa_flags & SA_SIGINFO) != 0) {
      previous.sa_sigaction(signo, info, context);
    } else if (previous.sa_handler == SIG_DFL) {
      // Raised again with the default action, it is delivered as this
      // handler returns: abort() and kill() end the process, and a fault
      // would recur anyway.
      sigaction(signo, &previous, nullptr);
      raise(signo);
    } else if (previous.sa_handler != SIG_IGN) {
      previous.sa_handler(signo);
    }
    return;
  }
}

void onTerminate() {
  if (engineCallLineStart != nullptr) {
    // Not a signal handler: the exception's text may still be read. The
    // project throws nothing itself; this only reads the library's.
    std::string reason = "the library ended on an uncaught exception";
    if (std::exception_ptr thrown = std::current_exception()) {
      try {
        std::rethrow_exception(thrown);
      } catch (const std::exception& error) {
        reason += std::string(": ") + error.what();
      } catch (...) {
      }
    }
    endInEngineCall(reason.c_str());
  }
  if (previousTerminate != nullptr) previousTerminate();
  std::abort();
}

void onExit() {
  if (engineCallLineStart != nullptr)
    endInEngineCall("the library called exit()");
}

// Installs the catchers once per process, before the first engine call.
void installCatchers() {
  static std::once_flag once;
  std::call_once(once, [] {
    unavailableRecord = new std::string(fatalRecord(
        "SFSpeechRecognizer unavailable (dictation/Siri disabled?)"));
    previousTerminate = std::set_terminate(onTerminate);
    // Registered this late so that it runs before the exit handlers of
    // everything that exists by now (exit() runs them last to first).
    std::atexit(onExit);
    struct sigaction action = {};
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(caughtSignals); ++i) {
      sigaction(caughtSignals[i], &action, &previousActions[i]);
    }
  });
}

bool hasWords(const std::string& text) {
  return text.find_first_not_of(" \t\r\n") != std::string::npos;
}

RecognitionError recognitionError(RecognitionErrorCode code,
                                  std::string description) {
  return {recognitionErrorDomain, static_cast<int64_t>(code),
          std::move(description)};
}

}  // namespace

void endProcessOnFatalEngineError(const char* reason) {
  if (engineCallLineStart != nullptr) endInEngineCall(reason);
}

void writeEngineDiagnostic(const std::string& text) {
  writeDiagnostic("quorvel: " + text + "\n");
}

std::shared_ptr<DecodingThread> DecodingThread::forModel(
    Engine& engine, const std::string& folder, VoiceDetectorSource* voices) {
  Models& registry = models();
  std::lock_guard<std::mutex> lock(registry.mutex);
  std::shared_ptr<DecodingThread>& model = registry.byFolder[{&engine, folder}];
  if (!model) model.reset(new DecodingThread(engine, folder, voices));
  return model;
}

DecodingThread::DecodingThread(Engine& modelEngine, std::string modelFolder,
                               VoiceDetectorSource* voiceSource)
    : engine(modelEngine),
      folder(std::move(modelFolder)),
      fatalLineStart(std::string("quorvel: the ") + engine.name() +
                     " model in " + folder + " failed: "),
      voices(voiceSource) {}

bool DecodingThread::usable() {
  std::unique_lock<std::mutex> lock(stateMutex);
  if (state == State::Idle) {
    state = State::Loading;
    installCatchers();
    // Detached: the thread owns the model until the process ends.
    std::thread([this] { run(); }).detach();
  }
  stateChanged.wait(lock, [this] { return state != State::Loading; });
  return state == State::Ready;
}

void DecodingThread::decode(std::shared_ptr<RecognitionStream> stream) {
  if (usable()) {
    std::lock_guard<std::mutex> lock(jobsMutex);
    jobs.push_back(std::move(stream));
    jobsReady.notify_one();
    return;
  }
  stream->finish(
      std::nullopt,
      recognitionError(RecognitionErrorCode::ModelUnavailable,
                       std::string("The ") + engine.name() + " model in " +
                           folder + " cannot be used"));
}

void DecodingThread::run() {
  // The voice-activity model loads before the recogniser, not beside it:
  // both are onnxruntime sessions, and two made at once race on its
  // registry of kernels (ThreadSanitizer showed it). At the rate nearly
  // every model takes, and again at the decoder's should that differ.
  constexpr double usualRate = 16000;
  std::unique_ptr<VoiceDetector> detector;
  auto loadDetector = [this, &detector](double rate) {
    EngineCall call(detectorLineStart);
    detector = voices->make(rate);
  };
  if (voices != nullptr) {
    const std::string name = voices->modelName();
    detectorLineStart = "quorvel: the " +
                        (name.empty() ? "voice-activity model" : name) +
                        " failed: ";
    loadDetector(usualRate);
  }
  std::string failure;
  {
    EngineCall call(fatalLineStart);
    decoder = engine.load(folder, failure);
  }
  // Loading the models leaves megabytes the libraries allocated and freed
  // in the allocator's keeping; they go back to the system once both loads
  // are over (the peak resident size falls from 72 to 66 MiB).
  malloc_trim(0);
  const bool loaded = decoder != nullptr;
  if (loaded) {
    decoder = withPhraseMatching(std::move(decoder), folder);
    if (detector && decoder->sampleRate() != usualRate) {
      loadDetector(decoder->sampleRate());
    }
    if (detector) {
      detector = std::make_unique<MarkedDetector>(std::move(detector),
                                                  detectorLineStart);
    }
    conditioner = std::make_unique<AudioConditioner>(
        decoder->sampleRate(), decoder->framing(), std::move(detector));
  } else if (detector) {
    EngineCall call(detectorLineStart);
    detector.reset();
  }
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    // Written before anyone can see the change: a waiter may end the
    // process as soon as it does.
    const std::string model =
        std::string(engine.name()) + " model in " + folder;
    writeEngineDiagnostic(
        loaded ? "recognising with the " + model
               : "the " + model + " cannot be used: " +
                     (failure.empty() ? "it does not load" : failure));
    state = loaded ? State::Ready : State::Unusable;
  }
  stateChanged.notify_all();
  if (!loaded) return;

  for (;;) {
    std::shared_ptr<RecognitionStream> stream;
    {
      std::unique_lock<std::mutex> lock(jobsMutex);
      jobsReady.wait(lock, [this] { return !jobs.empty(); });
      stream = std::move(jobs.front());
      jobs.pop_front();
    }
    decodeOne(*stream);
  }
}

void DecodingThread::decodeOne(RecognitionStream& stream) {
  auto fail = [&](RecognitionErrorCode code, std::string description) {
    utteranceOpen = false;
    stream.finish(std::nullopt, recognitionError(code, std::move(description)));
  };
  auto feed = [&](const std::vector<float>& samples) {
    EngineCall call(fatalLineStart);
    return samples.empty() || decoder->feed(samples);
  };
  auto latestText = [&] {
    EngineCall call(fatalLineStart);
    return decoder->text();
  };
  auto beginUtterance = [&] {
    conditioner->reset();
    EngineCall call(fatalLineStart);
    return decoder->beginUtterance();
  };
  const std::string cannotBegin =
      "The speech engine could not start an utterance";
  {
    EngineCall call(fatalLineStart);
    decoder->usePhrases(stream.phrases());
  }

  std::vector<AudioChunk> chunks;
  std::vector<float> samples;
  std::string text;
  bool begun = false;
  for (;;) {
    const RecognitionStream::Next next = stream.next(chunks);
    if (!begun && !chunks.empty()) {
      // The first audio decides: audio that follows on from the last
      // task's goes on in its utterance, with what that one left over.
      if (!utteranceOpen || !lastFed.followedBy(chunks.front().position,
                                                chunks.front().sampleRate)) {
        if (!beginUtterance()) {
          return fail(RecognitionErrorCode::DecoderFailed, cannotBegin);
        }
        utteranceOpen = true;
      }
      begun = true;
    }
    for (const AudioChunk& chunk : chunks) {
      samples.clear();
      if (std::string reason = conditioner->condition(chunk, samples);
          !reason.empty()) {
        return fail(RecognitionErrorCode::ResamplerFailed, reason);
      }
      if (!feed(samples)) {
        return fail(RecognitionErrorCode::DecoderFailed,
                    "The speech engine could not decode the audio");
      }
      lastFed.sampleRate = chunk.sampleRate;
      lastFed.position = chunk.position;
      lastFed.frames = chunk.frames;
    }
    if (next == RecognitionStream::Next::Cancelled) {
      // The utterance stays open for the next task, less the words the
      // listener was given.
      if (begun) {
        EngineCall call(fatalLineStart);
        decoder->cut(stream.wordsTaken());
      }
      return;
    }
    if (std::string latest = latestText(); latest != text) {
      text = std::move(latest);
      stream.deliverPartial(text);
    }
    if (next == RecognitionStream::Next::EndOfAudio) break;
  }

  utteranceOpen = false;
  // No audio at all: an utterance of nothing.
  if (!begun && !beginUtterance()) {
    return fail(RecognitionErrorCode::DecoderFailed, cannotBegin);
  }
  samples.clear();
  if (std::string reason = conditioner->flush(samples); !reason.empty()) {
    return fail(RecognitionErrorCode::ResamplerFailed, reason);
  }
  if (!feed(samples)) {
    return fail(RecognitionErrorCode::DecoderFailed,
                "The speech engine could not decode the audio");
  }
  std::optional<std::string> final;
  {
    EngineCall call(fatalLineStart);
    final = decoder->endUtterance();
  }
  if (!final) {
    return fail(RecognitionErrorCode::DecoderFailed,
                "The speech engine could not end the utterance");
  }
  if (hasWords(*final)) {
    stream.finish(RecognitionResult{*final, /*isFinal=*/true}, std::nullopt);
  } else {
    stream.finish(std::nullopt, noSpeechError());
  }
}

}  // namespace quorvel
