#include "platform/linux/speech/pocketsphinx/sphinx_model.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/speech/mono_resampler.h"

namespace quorvel {
namespace {

cmd_ln_t* configFor(const ModelFiles& files) {
  return cmd_ln_init(
      nullptr, ps_args(), TRUE, "-hmm", files.acousticModel.c_str(), "-lm",
      files.languageModel.c_str(), "-dict", files.dictionary.c_str(), nullptr);
}

// The load under way on this thread, if any.
struct LoadOutcome {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;                // by mutex
  ps_decoder_t* decoder = nullptr;  // by mutex; null when the load failed
};
thread_local LoadOutcome* currentLoad = nullptr;

// The library's log, and its way out: on some damaged models it reports a
// fatal error here and then calls exit() for the whole process. A load
// runs on a thread of its own; when that thread reports a fatal error the
// load is marked failed and the thread is parked for good, so the exit()
// after this call is never reached. Other threads only log.
void logAndCatchFatalLoad(void*, err_lvl_t level, const char* format, ...) {
  if (FILE* log = err_get_logfp()) {
    va_list args;
    va_start(args, format);
    std::vfprintf(log, format, args);
    va_end(args);
  }
  if (level != ERR_FATAL || currentLoad == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(currentLoad->mutex);
    currentLoad->done = true;
    currentLoad->decoder = nullptr;
  }
  currentLoad->finished.notify_all();
  for (;;) pause();
}

// The library logs every step of loading and decoding to stderr, which
// belongs to our diagnostics. Its log is process-wide, so it is routed
// once, before the first decoder exists.
void routeSphinxLog() {
  static std::once_flag once;
  std::call_once(once, [] {
    const char* path = std::getenv("QUORVEL_SPHINX_LOG");
    err_set_callback(logAndCatchFatalLoad, nullptr);
    if (path != nullptr && *path != '\0' && err_set_logfile(path) == 0) {
      return;  // appends to the file
    }
    // A null stream would disable the log too, but a real one keeps any
    // code that asks the library for its log stream safe.
    err_set_logfp(std::fopen("/dev/null", "w"));
  });
}

RecognitionError sphinxError(SphinxErrorCode code, std::string description) {
  return {sphinxErrorDomain, static_cast<int64_t>(code),
          std::move(description)};
}

std::string currentHypothesis(ps_decoder_t* decoder) {
  const char* hypothesis = ps_get_hyp(decoder, nullptr);
  return hypothesis == nullptr ? std::string() : std::string(hypothesis);
}

bool hasWords(const std::string& text) {
  return text.find_first_not_of(" \t\r\n") != std::string::npos;
}

}  // namespace

std::shared_ptr<SphinxModel> SphinxModel::forFiles(const ModelFiles& files) {
  struct Cache {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<SphinxModel>> models;
  };
  // Never destroyed: decoding threads use their models until the process
  // ends.
  static Cache& cache = *new Cache;
  const std::string key = files.acousticModel + '\n' + files.dictionary + '\n' +
                          files.languageModel;
  std::lock_guard<std::mutex> lock(cache.mutex);
  std::shared_ptr<SphinxModel>& model = cache.models[key];
  if (!model) model.reset(new SphinxModel(files));
  return model;
}

SphinxModel::SphinxModel(ModelFiles modelFiles)
    : files(std::move(modelFiles)) {}

bool SphinxModel::load() {
  std::lock_guard<std::mutex> lock(loadMutex);
  if (loaded) return *loaded;
  loaded = false;
  routeSphinxLog();
  auto outcome = std::make_shared<LoadOutcome>();
  // Detached: a load that hits a fatal error never returns (see
  // logAndCatchFatalLoad).
  std::thread([modelFiles = files, outcome] {
    currentLoad = outcome.get();
    cmd_ln_t* config = configFor(modelFiles);
    // The decoder keeps its own references to the configuration.
    ps_decoder_t* made = config == nullptr ? nullptr : ps_init(config);
    if (config != nullptr) cmd_ln_free_r(config);
    currentLoad = nullptr;
    {
      std::lock_guard<std::mutex> lock(outcome->mutex);
      outcome->decoder = made;
      outcome->done = true;
    }
    outcome->finished.notify_all();
  }).detach();
  {
    std::unique_lock<std::mutex> lock(outcome->mutex);
    outcome->finished.wait(lock, [&] { return outcome->done; });
    decoder = outcome->decoder;
  }
  if (decoder == nullptr) return false;
  sampleRate = cmd_ln_float32_r(ps_get_config(decoder), "-samprate");
  loaded = true;
  // Detached: the model, like the cache holding it, lives until the
  // process ends, and the thread never finishes.
  std::thread([this] { run(); }).detach();
  return true;
}

void SphinxModel::decode(std::shared_ptr<RecognitionStream> stream) {
  if (!load()) {
    stream->finish(std::nullopt,
                   sphinxError(SphinxErrorCode::ModelUnavailable,
                               "The speech model in " + files.acousticModel +
                                   " could not be loaded"));
    return;
  }
  {
    std::lock_guard<std::mutex> lock(jobsMutex);
    jobs.push_back(std::move(stream));
  }
  jobsReady.notify_one();
}

void SphinxModel::run() {
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

void SphinxModel::decodeOne(RecognitionStream& stream) {
  // A task cancelled while it waited has had its answer already.
  if (stream.isCancelled()) return;
  if (ps_start_utt(decoder) < 0) {
    stream.finish(std::nullopt,
                  sphinxError(SphinxErrorCode::DecoderFailed,
                              "PocketSphinx could not start an utterance"));
    return;
  }
  // Ends the utterance, which the decoder needs before the next one, and
  // tells the task why recognition stopped early.
  auto abandon = [&](std::optional<RecognitionError> error) {
    ps_end_utt(decoder);
    if (error) stream.finish(std::nullopt, std::move(error));
  };
  auto feed = [&](const std::vector<int16_t>& pcm) {
    return pcm.empty() ||
           ps_process_raw(decoder, pcm.data(), pcm.size(), /*no_search=*/0,
                          /*full_utt=*/0) >= 0;
  };

  MonoResampler resampler(sampleRate);
  std::vector<AudioChunk> chunks;
  std::vector<int16_t> pcm;
  std::string hypothesis;
  for (;;) {
    const RecognitionStream::Next next = stream.next(chunks);
    if (next == RecognitionStream::Next::Cancelled) return abandon({});
    for (const AudioChunk& chunk : chunks) {
      pcm.clear();
      if (std::string reason = resampler.convert(chunk, pcm); !reason.empty()) {
        return abandon(sphinxError(SphinxErrorCode::ResamplerFailed, reason));
      }
      if (!feed(pcm)) {
        return abandon(sphinxError(SphinxErrorCode::DecoderFailed,
                                   "PocketSphinx could not decode the audio"));
      }
      // A backlog is worked through in one go; a cancellation must not
      // wait for all of it.
      if (chunks.size() > 1 && stream.isCancelled()) return abandon({});
    }
    if (std::string latest = currentHypothesis(decoder); latest != hypothesis) {
      hypothesis = std::move(latest);
      stream.deliverPartial(hypothesis);
    }
    if (next == RecognitionStream::Next::EndOfAudio) break;
  }

  pcm.clear();
  if (std::string reason = resampler.flush(pcm); !reason.empty()) {
    return abandon(sphinxError(SphinxErrorCode::ResamplerFailed, reason));
  }
  if (!feed(pcm)) {
    return abandon(sphinxError(SphinxErrorCode::DecoderFailed,
                               "PocketSphinx could not decode the audio"));
  }
  if (ps_end_utt(decoder) < 0) {
    stream.finish(std::nullopt,
                  sphinxError(SphinxErrorCode::DecoderFailed,
                              "PocketSphinx could not end the utterance"));
    return;
  }
  hypothesis = currentHypothesis(decoder);
  if (hasWords(hypothesis)) {
    stream.finish(RecognitionResult{hypothesis, /*isFinal=*/true},
                  std::nullopt);
  } else {
    stream.finish(std::nullopt, noSpeechError());
  }
}

}  // namespace quorvel
