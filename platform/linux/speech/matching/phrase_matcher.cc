#include "platform/linux/speech/matching/phrase_matcher.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <cmath>

namespace quorvel {
namespace {

constexpr size_t cacheLimit = 4096;

std::vector<std::string_view> wordsOf(std::string_view text) {
  std::vector<std::string_view> words;
  for (size_t begin = 0; begin < text.size();) {
    const size_t end = std::min(text.find(' ', begin), text.size());
    if (end > begin) words.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return words;
}

char32_t firstCodePoint(std::string_view symbol) {
  int32_t i = 0;
  UChar32 c;
  U8_NEXT(symbol.data(), i, static_cast<int32_t>(symbol.size()), c);
  return c < 0 ? 0 : static_cast<char32_t>(c);
}

bool isVowel(char32_t c) {
  static constexpr std::u32string_view vowels =
      U"aeiouyæɑɒɐɔəɚɛɜɝɪʊʌᵻɵɘɤøœɯɨʉɞɶʏ";
  return vowels.find(c) != std::u32string_view::npos;
}

// The voiced and unvoiced consonants that differ in voicing alone (and the
// flap, which English hears as either t or d), by one member of each pair.
char32_t voicingPair(std::string_view symbol) {
  static constexpr struct {
    std::string_view symbol;
    char32_t pair;
  } pairs[] = {
      {"p", U'p'}, {"b", U'p'},  {"t", U't'},  {"d", U't'}, {"ɾ", U't'},
      {"k", U'k'}, {"ɡ", U'k'},  {"g", U'k'},  {"f", U'f'}, {"v", U'f'},
      {"s", U's'}, {"z", U's'},  {"θ", U'θ'},  {"ð", U'θ'}, {"ʃ", U'ʃ'},
      {"ʒ", U'ʃ'}, {"tʃ", U'c'}, {"dʒ", U'c'},
  };
  for (const auto& entry : pairs) {
    if (entry.symbol == symbol) return entry.pair;
  }
  return 0;
}

// Reduced vowels come and go with how fast a word is said.
bool isReduced(char32_t c) { return c == U'ə' || c == U'ɐ' || c == U'ᵻ'; }

}  // namespace

PhraseMatcher::PhraseMatcher(const PhraseList& list, Sounds phraseSounds,
                             Ordinary isOrdinary)
    : sounds(std::move(phraseSounds)), ordinary(std::move(isOrdinary)) {
  for (const Phrase& phrase : list.phrases) {
    const std::string& spoken =
        phrase.spoken.empty() ? phrase.text : phrase.spoken;
    std::vector<uint16_t> sound = soundOf(spoken);
    if (sound.empty()) {
      silent.push_back(&phrase);
      continue;
    }
    const size_t words = wordsOf(spoken).size() + 1;
    widest = std::max(widest, words);
    listed.push_back({&phrase, std::move(sound), words});
  }
}

std::vector<uint16_t> PhraseMatcher::soundOf(std::string_view text) {
  std::vector<uint16_t> sound;
  for (std::string& symbol : sounds(text)) {
    auto [entry, added] =
        ids.try_emplace(std::move(symbol), static_cast<uint16_t>(ids.size()));
    if (added) {
      const char32_t first = firstCodePoint(entry->first);
      symbols.push_back(
          {isVowel(first), isReduced(first), voicingPair(entry->first)});
    }
    sound.push_back(entry->second);
  }
  return sound;
}

const PhraseMatcher::Word& PhraseMatcher::word(std::string_view text) {
  if (wordCache.size() >= cacheLimit) wordCache.clear();
  auto found = wordCache.find(std::string(text));
  if (found != wordCache.end()) return found->second;
  Word heard{soundOf(text), ordinary(text)};
  return wordCache.emplace(std::string(text), std::move(heard)).first->second;
}

double PhraseMatcher::distance(const std::vector<uint16_t>& a,
                               const std::vector<uint16_t>& b) const {
  auto indel = [this](uint16_t s) { return symbols[s].reduced ? 0.5 : 1.0; };
  auto substitution = [this](uint16_t x, uint16_t y) {
    if (x == y) return 0.0;
    const Symbol &sx = symbols[x], &sy = symbols[y];
    if ((sx.vowel && sy.vowel) || (sx.voicing != 0 && sx.voicing == sy.voicing))
      return 0.5;
    return 1.0;
  };
  std::vector<double> row(b.size() + 1), next(b.size() + 1);
  row[0] = 0;
  for (size_t j = 0; j < b.size(); ++j) row[j + 1] = row[j] + indel(b[j]);
  for (size_t i = 0; i < a.size(); ++i) {
    next[0] = row[0] + indel(a[i]);
    for (size_t j = 0; j < b.size(); ++j) {
      next[j + 1] = std::min({row[j] + substitution(a[i], b[j]),
                              row[j + 1] + indel(a[i]), next[j] + indel(b[j])});
    }
    std::swap(row, next);
  }
  return row[b.size()];
}

PhraseMatcher::Best PhraseMatcher::closest(
    const std::vector<std::string_view>& words, size_t first, size_t last) {
  std::string key;
  for (size_t i = first; i < last; ++i) {
    key += words[i];
    key += ' ';
  }
  if (auto found = windowCache.find(key); found != windowCache.end()) {
    return found->second;
  }
  std::vector<uint16_t> sound;
  bool allOrdinary = true;
  for (size_t i = first; i < last; ++i) {
    const Word& heard = word(words[i]);
    sound.insert(sound.end(), heard.sound.begin(), heard.sound.end());
    allOrdinary = allOrdinary && heard.ordinary;
  }
  Best best;
  for (size_t p = 0; p < listed.size() && !sound.empty(); ++p) {
    const Listed& phrase = listed[p];
    if (last - first > phrase.words) continue;
    const double allowed =
        allOrdinary ? 0 : nearEnough * static_cast<double>(phrase.sound.size());
    // Every phoneme more or fewer costs at least half.
    const double apart = std::abs(static_cast<double>(sound.size()) -
                                  static_cast<double>(phrase.sound.size()));
    if (0.5 * apart > allowed) continue;
    const double d = distance(sound, phrase.sound);
    if (d > allowed) continue;
    const double share = d / static_cast<double>(phrase.sound.size());
    if (best.listed < 0 || share < best.share) {
      best = {static_cast<int>(p), share};
    }
  }
  if (windowCache.size() >= cacheLimit) windowCache.clear();
  windowCache.emplace(std::move(key), best);
  return best;
}

PhraseMatcher::Match PhraseMatcher::match(std::string_view heard) {
  const std::vector<std::string_view> words = wordsOf(heard);
  struct Candidate {
    size_t first, count;
    Best best;
  };
  std::vector<Candidate> candidates;
  for (size_t first = 0; first < words.size(); ++first) {
    for (size_t count = 1; count <= widest && first + count <= words.size();
         ++count) {
      const Best best = closest(words, first, first + count);
      if (best.listed >= 0) candidates.push_back({first, count, best});
    }
  }
  // The closest first; of two as close, the one that explains more words.
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) {
                     if (a.best.share != b.best.share)
                       return a.best.share < b.best.share;
                     return a.count > b.count;
                   });
  std::vector<const Candidate*> startingAt(words.size(), nullptr);
  std::vector<bool> taken(words.size(), false);
  for (const Candidate& candidate : candidates) {
    const auto begin = taken.begin() + static_cast<long>(candidate.first);
    const auto end = begin + static_cast<long>(candidate.count);
    if (std::find(begin, end, true) != end) continue;
    std::fill(begin, end, true);
    startingAt[candidate.first] = &candidate;
  }
  Match out;
  auto add = [&out](std::string_view text, size_t heardWords) {
    for (std::string_view w : wordsOf(text)) {
      if (!out.text.empty()) out.text += ' ';
      out.text += w;
      out.heardWords.push_back(heardWords);
    }
  };
  for (size_t i = 0; i < words.size();) {
    if (const Candidate* c = startingAt[i]) {
      add(listed[static_cast<size_t>(c->best.listed)].phrase->text,
          i + c->count);
      i += c->count;
    } else {
      add(words[i], i + 1);
      ++i;
    }
  }
  return out;
}

}  // namespace quorvel
