#include "platform/linux/speech/matching/phrase_matcher.h"

#include <gtest/gtest.h>

#include "platform/linux/speech/matching/phonemizer.h"
#include "platform/linux/speech/matching/pronouncing_dictionary.h"

namespace quorvel {
namespace {

// With espeak-ng's sounds and the CMU dictionary, as the helper matches.
// Each row: the phrase file's lines, what the recogniser wrote, what
// leaves, and why.
TEST(PhraseMatcherTest, NearSoundingWordsBecomeThePhraseOrdinaryWordsStay) {
  std::string failure;
  Phonemizer* phonemizer = Phonemizer::get(failure);
  ASSERT_NE(phonemizer, nullptr) << failure;
  const PronouncingDictionary& dictionary = PronouncingDictionary::english();
  ASSERT_FALSE(dictionary.empty());
  const struct {
    std::vector<Phrase> phrases;
    std::string heard, expected, why;
  } rows[] = {
      {{{"Calligraphy", ""}},
       "the kelly graphy of it",
       "the Calligraphy of it",
       "two heard words for one, near in sound"},
      {{{"Sweynheim", ""}, {"Pannartz", ""}},
       "swainheim and panors at work",
       "Sweynheim and Pannartz at work",
       "words that are no words"},
      {{{"Schoeffer", "shay fur"}},
       "peter shelfur printed",
       "peter Schoeffer printed",
       "the spoken form, where espeak-ng errs"},
      {{{"GitHub", ""}, {"McAllister", ""}},
       "push to git hub mcallister",
       "push to GitHub McAllister",
       "exact sound: spelt as the list has it"},
      {{{"Harris", ""}, {"clubs", ""}},
       "to paris ten of close",
       "to paris ten of close",
       "ordinary words only ever sound exactly"},
      {{{"open terminal", ""}, {"kubernetes", ""}},
       "he was not an old disposed man",
       "he was not an old disposed man",
       "unrelated phrases change nothing"},
  };
  for (const auto& row : rows) {
    PhraseList list{"f", row.phrases};
    PhraseMatcher matcher(
        list,
        [phonemizer](std::string_view text) {
          return phonemizer->phonemes(text);
        },
        [&dictionary](std::string_view word) {
          return dictionary.contains(word);
        });
    EXPECT_EQ(matcher.match(row.heard).text, row.expected) << row.why;
  }
}

// A cut after the listener's words must fall after the heard words they
// stand for, whole phrases included; a phrase without sound is said.
TEST(PhraseMatcherTest, EachWordCountsTheHeardWordsItStandsFor) {
  std::string failure;
  Phonemizer* phonemizer = Phonemizer::get(failure);
  ASSERT_NE(phonemizer, nullptr) << failure;
  PhraseList list{"f", {{"Calligraphy", ""}, {"ten of clubs", ""}, {"...", ""}}};
  PhraseMatcher matcher(
      list,
      [phonemizer](std::string_view t) { return phonemizer->phonemes(t); },
      [](std::string_view) { return false; });
  const PhraseMatcher::Match match =
      matcher.match("a kelly graphy ten of clubs");
  EXPECT_EQ(match.text, "a Calligraphy ten of clubs");
  EXPECT_EQ(match.heardWords, (std::vector<size_t>{1, 3, 6, 6, 6}));
  ASSERT_EQ(matcher.unsounded().size(), 1u);
  EXPECT_EQ(matcher.unsounded()[0]->text, "...");
}

}  // namespace
}  // namespace quorvel
