#include "platform/linux/speech/decoding_thread.h"

#include <semaphore.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <thread>
#include <utility>
#include <vector>

namespace quorvel {

void reapStoppedThreads();

namespace {

// The model whose engine the calling thread is in, if any. Read by the
// fatal-failure catchers, signal handlers among them: a plain pointer in
// the executable's own thread-local storage is safe to read there.
thread_local DecodingThread* engineCallOwner = nullptr;

}  // namespace

class DecodingThread::EngineCall {
 public:
  explicit EngineCall(DecodingThread* owner) { engineCallOwner = owner; }
  ~EngineCall() { engineCallOwner = nullptr; }
  EngineCall(const EngineCall&) = delete;
  EngineCall& operator=(const EngineCall&) = delete;
};

namespace {

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

// Posted, from a signal handler too, when a decoding thread has stopped on
// a fatal failure; the reaper thread then does what a handler cannot.
sem_t reaperWake;

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

void onFatalSignal(int signo, siginfo_t* info, void* context) {
  stopDecodingThreadOnFatalError(signalReason(signo));
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
  if (engineCallOwner != nullptr) {
    std::string reason = "the library ended on an uncaught exception";
    // The project throws nothing itself; this only reads the library's.
    if (std::exception_ptr thrown = std::current_exception()) {
      try {
        std::rethrow_exception(thrown);
      } catch (const std::exception& error) {
        reason += std::string(": ") + error.what();
      } catch (...) {
      }
    }
    stopDecodingThreadOnFatalError(reason.c_str());
  }
  if (previousTerminate != nullptr) previousTerminate();
  std::abort();
}

void onExit() { stopDecodingThreadOnFatalError("the library called exit()"); }

// Installs the catchers and starts the reaper, once per process.
void installCatchers() {
  static std::once_flag once;
  std::call_once(once, [] {
    sem_init(&reaperWake, /*pshared=*/0, /*value=*/0);
    std::thread([] {
      for (;;) {
        if (sem_wait(&reaperWake) == 0) reapStoppedThreads();
      }
    }).detach();
    previousTerminate = std::set_terminate(onTerminate);
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

void stopDecodingThreadOnFatalError(const char* reason) {
  DecodingThread* owner = engineCallOwner;
  if (owner == nullptr) return;
  // Only what is safe inside a signal handler from here on.
  size_t length = 0;
  while (reason[length] != '\0' && length + 1 < sizeof owner->stopReason) {
    owner->stopReason[length] = reason[length];
    ++length;
  }
  owner->stopReason[length] = '\0';
  owner->stopped.store(true, std::memory_order_release);
  sem_post(&reaperWake);
  // The library's state on this thread is beyond repair and the process
  // must not end: the thread waits here until the process does.
  for (;;) pause();
}

void reapStoppedThreads() {
  std::vector<std::shared_ptr<DecodingThread>> all;
  {
    Models& registry = models();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (const auto& [key, model] : registry.byFolder) all.push_back(model);
  }
  for (const auto& model : all) {
    if (model->stopped.load(std::memory_order_acquire)) {
      model->markBroken(model->stopReason);
    }
  }
}

void writeEngineDiagnostic(const std::string& text) {
  std::fputs(("quorvel: " + text + "\n").c_str(), stderr);
}

std::shared_ptr<DecodingThread> DecodingThread::forModel(
    Engine& engine, const std::string& folder) {
  Models& registry = models();
  std::lock_guard<std::mutex> lock(registry.mutex);
  std::shared_ptr<DecodingThread>& model = registry.byFolder[{&engine, folder}];
  if (!model) model.reset(new DecodingThread(engine, folder));
  return model;
}

DecodingThread::DecodingThread(Engine& modelEngine, std::string modelFolder)
    : engine(modelEngine), folder(std::move(modelFolder)) {}

bool DecodingThread::usable() {
  std::unique_lock<std::mutex> lock(stateMutex);
  if (state == State::Idle) {
    state = State::Loading;
    installCatchers();
    // Detached: the thread owns the model until the process ends. A thread
    // stopped by a fatal failure never finishes at all.
    std::thread([this] { run(); }).detach();
  }
  stateChanged.wait(lock, [this] { return state != State::Loading; });
  return state == State::Ready;
}

void DecodingThread::decode(std::shared_ptr<RecognitionStream> stream) {
  if (usable()) {
    std::lock_guard<std::mutex> lock(jobsMutex);
    if (!closed) {
      jobs.push_back(std::move(stream));
      jobsReady.notify_one();
      return;
    }
  }
  stream->finish(
      std::nullopt,
      recognitionError(RecognitionErrorCode::ModelUnavailable,
                       std::string("The ") + engine.name() + " model in " +
                           folder + " cannot be used"));
}

void DecodingThread::markBroken(const std::string& reason) {
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    if (state == State::Broken) return;
    // Written before anyone can see the change: a waiter may end the
    // process as soon as it does.
    writeEngineDiagnostic(std::string("the ") + engine.name() + " model in " +
                          folder + " cannot be used: " + reason);
    state = State::Broken;
  }
  stateChanged.notify_all();
  std::vector<std::shared_ptr<RecognitionStream>> ended;
  {
    std::lock_guard<std::mutex> lock(jobsMutex);
    closed = true;
    if (current) ended.push_back(std::move(current));
    ended.insert(ended.end(), jobs.begin(), jobs.end());
    jobs.clear();
  }
  for (const auto& stream : ended) {
    stream->finish(std::nullopt,
                   recognitionError(RecognitionErrorCode::DecoderFailed,
                                    "The speech engine failed: " + reason));
  }
}

void DecodingThread::run() {
  // Registered anew before each load, so that it runs before the exit
  // handlers of everything that exists by now (exit() runs them last to
  // first) and the process is left intact when the library exits.
  std::atexit(onExit);
  std::string failure;
  std::unique_ptr<Decoder> loaded;
  {
    EngineCall call(this);
    loaded = engine.load(folder, failure);
  }
  if (!loaded) {
    markBroken(failure.empty() ? "it does not load" : failure);
    return;
  }
  decoder = std::move(loaded);
  resampler = std::make_unique<MonoResampler>(decoder->sampleRate());
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    writeEngineDiagnostic(std::string("recognising with the ") + engine.name() +
                          " model in " + folder);
    state = State::Ready;
  }
  stateChanged.notify_all();

  for (;;) {
    std::shared_ptr<RecognitionStream> stream;
    {
      std::unique_lock<std::mutex> lock(jobsMutex);
      jobsReady.wait(lock, [this] { return !jobs.empty(); });
      stream = std::move(jobs.front());
      jobs.pop_front();
      current = stream;
    }
    decodeOne(*stream);
    std::lock_guard<std::mutex> lock(jobsMutex);
    current.reset();
  }
}

void DecodingThread::decodeOne(RecognitionStream& stream) {
  auto fail = [&](RecognitionErrorCode code, std::string description) {
    utteranceOpen = false;
    stream.finish(std::nullopt, recognitionError(code, std::move(description)));
  };
  auto feed = [&](const std::vector<float>& samples) {
    EngineCall call(this);
    return samples.empty() || decoder->feed(samples);
  };
  auto latestText = [&] {
    EngineCall call(this);
    return decoder->text();
  };
  auto beginUtterance = [&] {
    resampler->reset();
    EngineCall call(this);
    return decoder->beginUtterance();
  };
  const std::string cannotBegin =
      "The speech engine could not start an utterance";

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
      if (std::string reason = resampler->convert(chunk, samples);
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
        EngineCall call(this);
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
  if (std::string reason = resampler->flush(samples); !reason.empty()) {
    return fail(RecognitionErrorCode::ResamplerFailed, reason);
  }
  if (!feed(samples)) {
    return fail(RecognitionErrorCode::DecoderFailed,
                "The speech engine could not decode the audio");
  }
  std::optional<std::string> final;
  {
    EngineCall call(this);
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
