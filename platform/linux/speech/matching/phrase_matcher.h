// Phrase matching by sound, after the recogniser: a small model hears a
// rare name as near-sounding words ("kelly graphy" for "Calligraphy"), so
// the words it wrote for a listed phrase are replaced by the phrase, spelt
// as the parent wrote it, when they sound like it. Sounds are phonemes
// (Phonemizer); their distance counts near sounds (two vowels, a voiced
// and an unvoiced consonant of a pair) as half a difference. Words that
// are all ordinary ones (PronouncingDictionary) are replaced only by a
// phrase that sounds exactly like them: "paris" never becomes "Harris".
// One matcher per phrase list, used on one decoding thread.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_MATCHING_PHRASE_MATCHER_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_MATCHING_PHRASE_MATCHER_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/speech.h"

namespace quorvel {

class PhraseMatcher {
 public:
  // The phonemes of a text (see Phonemizer::phonemes); empty: no sound.
  using Sounds = std::function<std::vector<std::string>(std::string_view)>;
  // Whether a word as a recogniser writes it is an ordinary word.
  using Ordinary = std::function<bool(std::string_view)>;

  // The phrases of list that can be sounded out (their spoken form where
  // they have one); sounds and ordinary are used for as long as the
  // matcher lives.
  PhraseMatcher(const PhraseList& list, Sounds sounds, Ordinary ordinary);

  // The phrases of the list that have no sound, which are not matched.
  const std::vector<const Phrase*>& unsounded() const { return silent; }

  struct Match {
    std::string text;  // heard, with each match replaced by its phrase
    // For each word of text, how many heard words it and those before it
    // stand for.
    std::vector<size_t> heardWords;
  };
  // heard: lower-case words between single spaces, as recognisers write.
  Match match(std::string_view heard);

  // The largest share of a phrase's phonemes that may differ (in the
  // distance above) for words that are not all ordinary.
  static constexpr double nearEnough = 0.4;

 private:
  struct Listed {
    const Phrase* phrase;
    std::vector<uint16_t> sound;
    size_t words;  // heard words that may stand for it: its spoken words + 1
  };
  struct Word {
    std::vector<uint16_t> sound;
    bool ordinary;
  };
  struct Best {
    int listed = -1;  // none
    double share = 0;
  };

  std::vector<uint16_t> soundOf(std::string_view text);
  const Word& word(std::string_view text);
  // The closest phrase to heard words [first, last) of words.
  Best closest(const std::vector<std::string_view>& words, size_t first,
               size_t last);
  double distance(const std::vector<uint16_t>& a,
                  const std::vector<uint16_t>& b) const;

  Sounds sounds;
  Ordinary ordinary;
  std::vector<Listed> listed;
  std::vector<const Phrase*> silent;
  size_t widest = 0;  // the most heard words any phrase may stand for
  // Phonemes as small numbers, with what the distance needs of each.
  std::unordered_map<std::string, uint16_t> ids;
  struct Symbol {
    bool vowel;
    bool reduced;      // a vowel that comes and goes with how fast one speaks
    char32_t voicing;  // the pair a consonant belongs to, else 0
  };
  std::vector<Symbol> symbols;
  // Heard words and windows met before: recognisers write the same words
  // again with every partial. Bounded; emptied when full.
  std::unordered_map<std::string, Word> wordCache;
  std::unordered_map<std::string, Best> windowCache;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_MATCHING_PHRASE_MATCHER_H_
