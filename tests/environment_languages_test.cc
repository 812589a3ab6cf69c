#include "platform/linux/system/environment_languages.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

using Languages = std::vector<std::string>;

TEST(EnvironmentLanguagesTest, LanguageListKeepsItsOrderAndWins) {
  EXPECT_EQ(parsePreferredLanguages("de_CH:en_GB:fr", "it_IT.UTF-8", nullptr,
                                    "es_ES.UTF-8"),
            (Languages{"de_CH", "en_GB", "fr"}));
}

TEST(EnvironmentLanguagesTest, StripsCodesetAndModifierAndSkipsCAndEmpty) {
  EXPECT_EQ(parsePreferredLanguages("::C:de_CH.UTF-8@euro:POSIX:sr@latin:",
                                    nullptr, nullptr, nullptr),
            (Languages{"de_CH", "sr"}));
}

TEST(EnvironmentLanguagesTest, FallsBackToTheFirstSetLocaleVariable) {
  EXPECT_EQ(parsePreferredLanguages(nullptr, "", "pt_BR.UTF-8", "en_US"),
            (Languages{"pt_BR"}));
  EXPECT_EQ(parsePreferredLanguages(":C:", nullptr, nullptr, "en_US.UTF-8"),
            (Languages{"en_US"}));
  EXPECT_EQ(parsePreferredLanguages(nullptr, "fr_FR", "pt_BR", "en_US"),
            (Languages{"fr_FR"}));
}

// Only LANGUAGE is a list; a locale variable with a ':' names no locale.
TEST(EnvironmentLanguagesTest, ColonInALocaleVariableNamesNoLanguage) {
  EXPECT_EQ(parsePreferredLanguages(nullptr, nullptr, nullptr, "de_DE:en_US"),
            Languages{});
}

TEST(EnvironmentLanguagesTest, CLocaleOrNothingSetGivesNoPreference) {
  EXPECT_EQ(parsePreferredLanguages(nullptr, "C.UTF-8", nullptr, "de_DE"),
            Languages{});
  EXPECT_EQ(parsePreferredLanguages(nullptr, nullptr, nullptr, "POSIX"),
            Languages{});
  EXPECT_EQ(parsePreferredLanguages(nullptr, nullptr, nullptr, nullptr),
            Languages{});
}

}  // namespace
}  // namespace quorvel
