#include "platform/linux/speech/pocketsphinx/sphinx_engine.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/linux/speech/model_directory.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

// The name of a file without one of suffixes (matched case-insensitively),
// normalized; empty when the name has none of them.
std::string stemOf(const fs::path& file,
                   std::initializer_list<std::string_view> suffixes) {
  const std::string name = normalizedName(file.filename().string());
  for (std::string_view suffix : suffixes) {
    if (name.size() > suffix.size() && name.ends_with(suffix)) {
      return name.substr(0, name.size() - suffix.size());
    }
  }
  return {};
}

// Among the files of folder (its entries) with one of suffixes, prefers the
// one named after the folder ("en-us.lm.bin" in "en-us"), then one that is
// not a phonetic model (the Debian folder also holds "en-us-phone.lm.bin",
// which decodes phones, not words), then the first by name.
std::string pickFile(const fs::path& folder,
                     const std::vector<fs::path>& entries,
                     std::initializer_list<std::string_view> suffixes) {
  const std::string folderName = normalizedName(folder.filename().string());
  std::string best;
  int bestRank = 3;
  for (const fs::path& entry : entries) {
    const std::string stem = stemOf(entry, suffixes);
    if (stem.empty() || !isFile(entry)) continue;
    int rank = 2;
    if (stem == folderName) {
      rank = 0;
    } else if (stem.find("phone") == std::string::npos) {
      rank = 1;
    }
    if (rank < bestRank) {
      bestRank = rank;
      best = entry.string();
    }
  }
  return best;
}

// The library's log, and its way out: on some damaged models, and on
// failures while decoding, it reports a fatal error here and then calls
// exit() for the whole process. On a decoding thread that fatal error
// ends the process there with the model's failure and status 3 (see
// DecodingThread); elsewhere the library goes on to exit.
void logAndCatchFatal(void*, err_lvl_t level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  char message[200];
  va_list forLog;
  va_copy(forLog, args);
  if (FILE* log = err_get_logfp()) std::vfprintf(log, format, forLog);
  va_end(forLog);
  if (level == ERR_FATAL) std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  if (level != ERR_FATAL) return;
  // The library ends its messages with a line feed; the reason is a phrase.
  std::string reason = message;
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) {
    reason.pop_back();
  }
  endProcessOnFatalEngineError(("PocketSphinx: " + reason).c_str());
}

// The library logs every step of loading and decoding to stderr, which
// belongs to our diagnostics. Its log is process-wide, so it is routed
// once, before the first decoder exists.
void routeSphinxLog() {
  static std::once_flag once;
  std::call_once(once, [] {
    const char* path = std::getenv("QUORVEL_SPHINX_LOG");
    err_set_callback(logAndCatchFatal, nullptr);
    if (path != nullptr && *path != '\0' && err_set_logfile(path) == 0) {
      return;  // appends to the file
    }
    // A null stream would disable the log too, but a real one keeps any
    // code that asks the library for its log stream safe.
    err_set_logfp(std::fopen("/dev/null", "w"));
  });
}

// Silence, noise and sentence marks in a segmentation; never in the text.
bool isFiller(const char* word) {
  return word[0] == '<' || word[0] == '[' || word[0] == '+' || word[0] == '(';
}

class SphinxDecoder : public Decoder {
 public:
  // decoder is never freed: the model stays warm until the process ends.
  SphinxDecoder(ps_decoder_t* loaded, double modelRate, std::string folder)
      : decoder(loaded),
        folder(std::move(folder)),
        modelRate(modelRate),
        samplesPerFrame(static_cast<size_t>(
            modelRate / cmd_ln_int32_r(ps_get_config(loaded), "-frate"))) {}

  double sampleRate() const override { return modelRate; }

  // Its keyword and grammar searches would bias it, but they also limit
  // what it can hear to the phrases; its language model hears everything,
  // and phrases are matched by sound in its text after it.
  void usePhrases(std::shared_ptr<const PhraseList> phrases) override {
    if (toldUnused || !phrases || phrases->phrases.empty()) return;
    toldUnused = true;
    writeEngineDiagnostic("the PocketSphinx model in " + folder +
                          " is not biased toward phrases");
  }

  bool beginUtterance() override {
    if (inUtterance) ps_end_utt(decoder);
    inUtterance = ps_start_utt(decoder) >= 0;
    heard.clear();
    return inUtterance;
  }

  bool feed(std::span<const float> samples) override {
    pcm.clear();
    for (float sample : samples) {
      pcm.push_back(static_cast<int16_t>(std::lrint(sample * 32767.0f)));
    }
    return process(pcm);
  }

  std::string text() override {
    const char* hypothesis = ps_get_hyp(decoder, nullptr);
    return hypothesis == nullptr ? std::string() : std::string(hypothesis);
  }

  // The library cannot take words out of an utterance: it starts a new one
  // and hears again the audio after the last word taken.
  void cut(size_t words) override {
    size_t keepFrom = 0;
    bool wordsFollow = false;
    size_t seen = 0;
    for (ps_seg_t* seg = ps_seg_iter(decoder); seg != nullptr;
         seg = ps_seg_next(seg)) {
      if (isFiller(ps_seg_word(seg))) continue;
      if (seen++ == words) {
        wordsFollow = true;
        ps_seg_free(seg);
        break;
      }
      int start = 0, end = 0;
      ps_seg_frames(seg, &start, &end);
      keepFrom = static_cast<size_t>(end + 1) * samplesPerFrame;
    }
    // After the words taken only silence or the start of a word yet to be
    // recognised: a second of it is enough.
    const size_t keepAtMost = static_cast<size_t>(modelRate);
    if (!wordsFollow && heard.size() > keepAtMost) {
      keepFrom = std::max(keepFrom, heard.size() - keepAtMost);
    }
    std::vector<int16_t> rest(heard.begin() + std::min(keepFrom, heard.size()),
                              heard.end());
    beginUtterance();
    process(rest);
  }

  std::optional<std::string> endUtterance() override {
    inUtterance = false;
    heard.clear();
    if (ps_end_utt(decoder) < 0) return std::nullopt;
    return text();
  }

 private:
  bool process(const std::vector<int16_t>& samples) {
    if (samples.empty()) return true;
    heard.insert(heard.end(), samples.begin(), samples.end());
    return ps_process_raw(decoder, samples.data(), samples.size(),
                          /*no_search=*/0, /*full_utt=*/0) >= 0;
  }

  ps_decoder_t* const decoder;
  const std::string folder;
  const double modelRate;  // the decoder's -samprate
  const size_t samplesPerFrame;
  bool inUtterance = false;
  bool toldUnused = false;
  std::vector<int16_t> pcm;
  // The utterance's audio, frame 0 first, to be heard again after a cut.
  std::vector<int16_t> heard;
};

class SphinxEngine : public Engine {
 public:
  const char* name() const override { return "PocketSphinx"; }

  bool hasModel(const std::string& folder) override {
    return sphinxModelIn(folder).has_value();
  }

  std::unique_ptr<Decoder> load(const std::string& folder,
                                std::string& failure) override {
    std::optional<SphinxFiles> files = sphinxModelIn(folder);
    if (!files) {
      failure = "the model's files are gone";
      return nullptr;
    }
    routeSphinxLog();
    cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm",
                                   files->acousticModel.c_str(), "-lm",
                                   files->languageModel.c_str(), "-dict",
                                   files->dictionary.c_str(), nullptr);
    // The decoder keeps its own references to the configuration.
    ps_decoder_t* decoder = config == nullptr ? nullptr : ps_init(config);
    if (config != nullptr) cmd_ln_free_r(config);
    if (decoder == nullptr) {
      failure = "PocketSphinx does not load it (QUORVEL_SPHINX_LOG says why)";
      return nullptr;
    }
    const double rate = cmd_ln_float32_r(ps_get_config(decoder), "-samprate");
    return std::make_unique<SphinxDecoder>(decoder, rate, folder);
  }
};

}  // namespace

std::optional<SphinxFiles> sphinxModelIn(const std::string& folderName) {
  const fs::path folder(folderName);
  const std::vector<fs::path> entries = sortedEntries(folder);
  SphinxFiles files;
  for (const fs::path& entry : entries) {
    if (isFolder(entry) && isFile(entry / "mdef")) {
      files.acousticModel = entry.string();
      break;
    }
  }
  files.dictionary = pickFile(folder, entries, {".dict", ".dic"});
  files.languageModel =
      pickFile(folder, entries, {".lm.bin", ".lm.dmp", ".lm"});
  if (files.acousticModel.empty() || files.dictionary.empty() ||
      files.languageModel.empty()) {
    return std::nullopt;
  }
  return files;
}

Engine& pocketSphinxEngine() {
  // Never destroyed: decoding threads use it until the process ends.
  static Engine& engine = *new SphinxEngine;
  return engine;
}

}  // namespace quorvel
