#include "platform/linux/speech/matching/matching_decoder.h"

#include <filesystem>
#include <optional>

#include "platform/linux/speech/matching/phonemizer.h"
#include "platform/linux/speech/matching/phrase_matcher.h"
#include "platform/linux/speech/matching/pronouncing_dictionary.h"
#include "platform/linux/speech/model_directory.h"

namespace quorvel {
namespace {

class MatchingDecoder : public Decoder {
 public:
  explicit MatchingDecoder(std::unique_ptr<Decoder> wrapped)
      : inner(std::move(wrapped)) {}

  double sampleRate() const override { return inner->sampleRate(); }
  size_t framing() const override { return inner->framing(); }
  bool beginUtterance() override { return inner->beginUtterance(); }
  bool feed(std::span<const float> samples) override {
    return inner->feed(samples);
  }

  void usePhrases(std::shared_ptr<const PhraseList> list) override {
    inner->usePhrases(list);
    if (list == phrases) return;
    phrases = std::move(list);
    matcher =
        phrases && !phrases->phrases.empty() ? makeMatcher(*phrases) : nullptr;
    lastHeard.reset();
  }

  std::string text() override {
    return matcher ? matched(inner->text()).text : inner->text();
  }

  // words counts what the listener was given, in matched words.
  void cut(size_t words) override {
    if (!matcher || words == 0) return inner->cut(words);
    const PhraseMatcher::Match& match = matched(inner->text());
    const std::vector<size_t>& heard = match.heardWords;
    inner->cut(words <= heard.size()
                   ? heard[words - 1]
                   : (heard.empty() ? 0 : heard.back()) + words - heard.size());
    lastHeard.reset();
  }

  std::optional<std::string> endUtterance() override {
    std::optional<std::string> final = inner->endUtterance();
    if (final && matcher) final = matched(*final).text;
    lastHeard.reset();
    return final;
  }

 private:
  std::unique_ptr<PhraseMatcher> makeMatcher(const PhraseList& list) {
    std::string failure;
    Phonemizer* phonemizer = Phonemizer::get(failure);
    if (phonemizer == nullptr) {
      if (!toldUnmatched) {
        writeEngineDiagnostic("phrases are not matched by sound: " + failure);
      }
      toldUnmatched = true;
      return nullptr;
    }
    const PronouncingDictionary& dictionary = PronouncingDictionary::english();
    auto matching = std::make_unique<PhraseMatcher>(
        list,
        [phonemizer](std::string_view text) {
          return phonemizer->phonemes(text);
        },
        // Without a dictionary every word counts as ordinary: only what
        // sounds exactly like a phrase is replaced.
        [&dictionary](std::string_view word) {
          return dictionary.empty() || dictionary.contains(word);
        });
    if (const auto& silent = matching->unsounded(); !silent.empty()) {
      const size_t more = silent.size() - 1;
      writeEngineDiagnostic(
          "the phrases file " + list.file + ", line " +
          std::to_string(silent.front()->line) + ": \"" + silent.front()->text +
          "\" has no sound; the line " +
          (more == 0 ? "is"
                     : "and " + std::to_string(more) + " more like it are") +
          " not matched by sound");
    }
    return matching;
  }

  // heard with the phrases matched; the last match again while the
  // recogniser's text is unchanged, as it is between most partials.
  // REQUIRES: a matcher.
  const PhraseMatcher::Match& matched(std::string heard) {
    if (lastHeard != heard) {
      passed = matcher->match(heard);
      lastHeard = std::move(heard);
    }
    return passed;
  }

  const std::unique_ptr<Decoder> inner;
  std::shared_ptr<const PhraseList> phrases;  // as last handed over
  std::unique_ptr<PhraseMatcher> matcher;     // null: nothing to match
  std::optional<std::string> lastHeard;       // what passed was matched from
  PhraseMatcher::Match passed;
  bool toldUnmatched = false;
};

}  // namespace

std::unique_ptr<Decoder> withPhraseMatching(std::unique_ptr<Decoder> decoder,
                                            const std::string& folder) {
  // The sounds and the dictionary are English ones.
  const std::string name =
      normalizedName(std::filesystem::path(folder).filename().string());
  if (name != "en" && !name.starts_with("en-")) return decoder;
  return std::make_unique<MatchingDecoder>(std::move(decoder));
}

}  // namespace quorvel
