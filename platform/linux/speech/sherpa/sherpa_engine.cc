#include "platform/linux/speech/sherpa/sherpa_engine.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "platform/linux/speech/model_directory.h"
#include "platform/linux/speech/sherpa/hotwords.h"
#include "platform/linux/speech/sherpa/sherpa_runtime.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

// The file among a folder's entries named prefix*.onnx, the int8 one where
// there are both, else the first by name; empty when there is none.
std::string pickPart(const std::vector<fs::path>& entries,
                     std::string_view prefix) {
  std::string plain, quantized;
  for (const fs::path& entry : entries) {
    const std::string name = normalizedName(entry.filename().string());
    if (!name.starts_with(prefix) || !name.ends_with(".onnx") ||
        !isFile(entry)) {
      continue;
    }
    std::string& slot = name.ends_with(".int8.onnx") ? quantized : plain;
    if (slot.empty()) slot = entry.string();
  }
  return quantized.empty() ? plain : quantized;
}

// Audio after the last word, so that the encoder's look-ahead covers it:
// without it a final word is often cut short.
constexpr double tailPaddingSeconds = 0.66;

// Lower case, single spaces, as the other engines write their text; the
// model itself writes upper case.
std::string normalizedText(const char* text) {
  std::string out;
  bool space = false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c == ' ' || *c == '\t' || *c == '\n' || *c == '\r') {
      space = !out.empty();
      continue;
    }
    if (space) out.push_back(' ');
    space = false;
    out.push_back(*c >= 'A' && *c <= 'Z' ? static_cast<char>(*c - 'A' + 'a')
                                         : *c);
  }
  return out;
}

// A word's first token starts with a space ("▁" in tokens.txt), the
// tokens that go on with a word do not.
bool startsWord(const char* token) { return token[0] == ' '; }

// The boost of a hotword's tokens in beam search, measured on the bench's
// rare words: 1.5 missed a listed word that 2.0 to 3.5 all heard; 4.0
// bent a listed word out of shape ("clus") and, in the engine alone, made
// words sound like an unrelated phrase ("pull is power"). 2.5 sits amid
// the range that did no harm.
constexpr float hotwordsScore = 2.5f;

class SherpaDecoder : public Decoder {
 public:
  // recognizer is never freed: the model stays warm until the process ends.
  // hotwords: null when the model was loaded without phrases.
  SherpaDecoder(const SherpaRuntime& runtime,
                const SherpaOnnxOnlineRecognizer* loaded,
                std::unique_ptr<Hotwords> hotwords)
      : api(runtime), recognizer(loaded), spelling(std::move(hotwords)) {}

  void usePhrases(std::shared_ptr<const PhraseList> list) override {
    if (list == phrases) return;
    phrases = std::move(list);
    wanted = phrases && spelling ? spelling->of(*phrases) : std::string();
  }

  // Streaming transducers decode chunks of 0.16, 0.32 or 0.64 s of audio
  // (this project's model: 0.32 s).
  size_t framing() const override {
    return static_cast<size_t>(0.64 * sampleRate());
  }

  bool beginUtterance() override {
    dropStream();
    stream = makeStream();
    carried.clear();
    skipContinuation = false;
    tokens.clear();
    latest.clear();
    changed = false;
    return stream != nullptr;
  }

  bool feed(std::span<const float> samples) override {
    if (wanted != hotwords) switchStream();
    if (stream == nullptr) return false;
    accept(samples);
    decodeReady();
    return true;
  }

  std::string text() override {
    refresh();
    return latest;
  }

  // The library's reset starts a new result and keeps the audio and the
  // encoder's state, so nothing is decoded twice: the tokens after the
  // words taken are carried over as text, ahead of the new result's.
  void cut(size_t words) override {
    refresh();
    const std::string all = carried + tokens;
    size_t start = all.size();
    size_t seen = 0;
    for (size_t i = 0; i < all.size(); ++i) {
      const bool wordStart = all[i] != ' ' && (i == 0 || all[i - 1] == ' ');
      if (wordStart && seen++ == words) {
        start = i;
        break;
      }
    }
    carried = all.substr(start);
    // With nothing after them, the last word taken may still be growing;
    // what the new result would add to it is part of the taken text.
    skipContinuation = carried.empty() && words > 0;
    api.resetStream(recognizer, stream);
    tokens.clear();
    changed = true;
  }

  std::optional<std::string> endUtterance() override {
    drain();
    std::string final = text();
    dropStream();
    return final;
  }

 private:
  // A stream that expects the wanted phrases.
  const SherpaOnnxOnlineStream* makeStream() {
    hotwords = wanted;
    return hotwords.empty()
               ? api.createStream(recognizer)
               : api.createStreamWithHotwords(recognizer, hotwords.c_str());
  }

  // The utterance goes on under other phrases, which only a new stream
  // takes: the old one first decodes all it was fed, as at the end of the
  // audio, its words carried over as text, so no audio is lost; a word
  // spoken across the switch may come out clipped.
  void switchStream() {
    drain();
    refresh();
    carried += tokens;
    skipContinuation = skipContinuation && carried.empty();
    if (!carried.empty()) carried += ' ';
    tokens.clear();
    dropStream();
    stream = makeStream();
    changed = true;
  }

  // Decodes what the stream holds as if its audio ended there.
  void drain() {
    const std::vector<float> padding(
        static_cast<size_t>(tailPaddingSeconds * sampleRate()), 0.0f);
    accept(padding);
    api.inputFinished(stream);
    decodeReady();
  }

  // Beam search hears a word ("and") in samples that are exactly zero (a
  // muted input, the padding), again after every cut: the model never met
  // such silence in training, whose audio was dithered. Under it, noise of
  // one 16-bit step, as recorded silence has, is heard as nothing.
  void accept(std::span<const float> samples) {
    if (!spelling || !spelling->usable()) {
      api.acceptWaveform(stream, static_cast<int32_t>(sampleRate()),
                         samples.data(), static_cast<int32_t>(samples.size()));
      return;
    }
    dithered.assign(samples.begin(), samples.end());
    for (float& sample : dithered) {
      noise = noise * 1664525u + 1013904223u;  // a fixed LCG: repeatable
      sample += (static_cast<float>(noise >> 8) / (1u << 24) - 0.5f) *
                (2.0f / 32768.0f);
    }
    api.acceptWaveform(stream, static_cast<int32_t>(sampleRate()),
                       dithered.data(), static_cast<int32_t>(dithered.size()));
  }

  void decodeReady() {
    while (api.isReady(recognizer, stream) == 1) {
      api.decode(recognizer, stream);
      changed = true;
    }
  }

  // Reads the result again if it may have changed: its tokens, and the
  // segment's text since the last cut (the carried tokens, then these).
  void refresh() {
    if (!changed) return;
    tokens.clear();
    const SherpaOnnxOnlineRecognizerResult* result =
        api.getResult(recognizer, stream);
    if (result != nullptr) {
      int32_t i = 0;
      if (skipContinuation) {
        while (i < result->count && !startsWord(result->tokens_arr[i])) ++i;
      }
      for (; i < result->count; ++i) tokens += result->tokens_arr[i];
      api.destroyResult(result);
    }
    latest = normalizedText((carried + tokens).c_str());
    changed = false;
  }

  void dropStream() {
    if (stream != nullptr) api.destroyStream(stream);
    stream = nullptr;
  }

  const SherpaRuntime& api;
  const SherpaOnnxOnlineRecognizer* const recognizer;
  // Null when the model was loaded without phrases; unusable when it
  // decodes by greedy search, which takes no hotwords.
  const std::unique_ptr<Hotwords> spelling;
  const SherpaOnnxOnlineStream* stream = nullptr;  // of the utterance
  std::shared_ptr<const PhraseList> phrases;       // as last handed over
  std::string wanted;                              // their hotwords
  std::string hotwords;                            // the stream's
  std::vector<float> dithered;  // reused, so feeding allocates no more
  uint32_t noise = 1;
  std::string carried;  // tokens left over from before the last cut
  bool skipContinuation = false;
  std::string tokens;    // of the result, as read last
  std::string latest;    // the segment's normalized text, as read last
  bool changed = false;  // decoded or cut since the result was read
};

class SherpaEngine : public Engine {
 public:
  const char* name() const override { return "sherpa-onnx"; }

  void expectPhrases() override { forPhrases = true; }

  bool hasModel(const std::string& folder) override {
    // The files first: the runtime is looked for only when there is a
    // transducer for it to run.
    return transducerIn(folder) && SherpaRuntime::get() != nullptr;
  }

  std::unique_ptr<Decoder> load(const std::string& folder,
                                std::string& failure) override {
    const SherpaRuntime* runtime = SherpaRuntime::get();
    std::optional<TransducerFiles> files = transducerIn(folder);
    if (runtime == nullptr || !files) {
      failure = "the model's files are gone";
      return nullptr;
    }
    SherpaOnnxOnlineRecognizerConfig config = {};
    // The rate the decoder is fed at, which the models are trained for.
    config.feat_config.sample_rate = 16000;
    config.feat_config.feature_dim = 80;
    config.model_config.transducer.encoder = files->encoder.c_str();
    config.model_config.transducer.decoder = files->decoder.c_str();
    config.model_config.transducer.joiner = files->joiner.c_str();
    config.model_config.tokens = files->tokens.c_str();
    // One thread: recognition shares the machine with whatever the user
    // is dictating into, and the model keeps up with real time on one.
    config.model_config.num_threads = 1;
    config.model_config.provider = "cpu";
    std::unique_ptr<Hotwords> hotwords =
        forPhrases ? std::make_unique<Hotwords>(*files, folder) : nullptr;
    const bool beamSearch = hotwords && hotwords->usable();
    if (beamSearch) {
      config.model_config.modeling_unit = "bpe";
      config.model_config.bpe_vocab = files->bpeVocab.c_str();
      config.hotwords_score = hotwordsScore;
    }
    config.decoding_method =
        beamSearch ? "modified_beam_search" : "greedy_search";
    config.max_active_paths = 4;
    // Segments end by the listener's own rules, never the library's.
    config.enable_endpoint = 0;
    const SherpaOnnxOnlineRecognizer* recognizer =
        runtime->createRecognizer(&config);
    if (recognizer == nullptr) {
      failure = "sherpa-onnx does not load it";
      return nullptr;
    }
    return std::make_unique<SherpaDecoder>(*runtime, recognizer,
                                           std::move(hotwords));
  }

 private:
  std::atomic<bool> forPhrases{false};
};

}  // namespace

std::optional<TransducerFiles> transducerIn(const std::string& folderName) {
  const std::vector<fs::path> entries = sortedEntries(folderName);
  TransducerFiles files{
      pickPart(entries, "encoder"), pickPart(entries, "decoder"),
      pickPart(entries, "joiner"), std::string(), std::string()};
  for (const fs::path& entry : entries) {
    const std::string name = normalizedName(entry.filename().string());
    if (name == "tokens.txt" && files.tokens.empty() && isFile(entry)) {
      files.tokens = entry.string();
    }
    if (name == "bpe.vocab" && files.bpeVocab.empty() && isFile(entry)) {
      files.bpeVocab = entry.string();
    }
  }
  if (files.encoder.empty() || files.decoder.empty() || files.joiner.empty() ||
      files.tokens.empty()) {
    return std::nullopt;
  }
  return files;
}

Engine& sherpaOnnxEngine() {
  // Never destroyed: decoding threads use it until the process ends.
  static Engine& engine = *new SherpaEngine;
  return engine;
}

}  // namespace quorvel
