#include <gtest/gtest.h>
#if __has_include(<unicode/uloc.h>)
#include <unicode/uloc.h>
#endif

#include <cstdio>

#include "app/command_reader.h"
#include "app/entry.h"
#include "app/listening_startup.h"
#include "tests/fakes/fakes.h"

namespace quorvel {
namespace {

TEST(ListeningStartupTest, LocaleIsFirstPreferredLanguageWithRecognizer) {
  FakeSpeechService speech;
  speech.locales = {{"de", {}}, {"pt", {}}, {"en-GB", {}}};
  EXPECT_EQ(chooseLocale(speech, {"de_CH", "pt_BR"}), "de");
  EXPECT_EQ(chooseLocale(speech, {"--", "-pt_BR"}), "pt");
  EXPECT_EQ(chooseLocale(speech, {"en_GB"}), "en-GB");
  EXPECT_EQ(chooseLocale(speech, {"fr_FR"}), "en-US");
  EXPECT_EQ(speech.probes,
            (std::vector<std::string>{"de-CH", "de", "--", "-pt-BR", "pt",
                                      "en-GB", "fr-FR", "fr"}));
}

// Only "--check" exactly runs the check: anything like it starts the
// application.
TEST(EntryTest, OnlyAnExactCheckArgumentSkipsTheApplication) {
  FakePlatform fake;
  const char* application[] = {"quorvel", "--Check", "--check=1"};
  EXPECT_EQ(runMain(3, application, fake.platform), 0);
  EXPECT_EQ(fake.runs, 1);
  gAppDelegate.reset();  // it refers to fake
}

// Without a recogniser for en-US, the default one (the user's language's)
// still makes the check succeed.
TEST(EntryDeathTest, CheckCountsTheDefaultRecognizer) {
  FakePlatform fake;
  fake.speech.locales.clear();
  fake.speech.defaultLocale.emplace();
  const char* check[] = {"quorvel", "--check"};
  EXPECT_EXIT(runMain(2, check, fake.platform), testing::ExitedWithCode(0), "");
}

// A command is the whole line, trimmed of whitespace and line breaks
// (U+0085 and U+3000 too) and lower-cased by root rules: under a Turkish
// locale "QUIT" must not become "quıt".
TEST(CommandReaderTest, LinesAreTrimmedAndLowerCasedWhateverTheLocale) {
#if __has_include(<unicode/uloc.h>)  // not in macOS's libicucore
  UErrorCode status = U_ZERO_ERROR;
  uloc_setDefault("tr_TR", &status);
#endif
  const std::pair<std::string, Command> lines[] = {
      {"  PAUSE \r", Command::Pause},
      {"resume\xC2\x85", Command::Resume},
      {"\xE3\x80\x80QUIT\t", Command::Stop},
      {"exit", Command::Stop},
      {"Stop", Command::Stop},
      {"st op", Command::None},
      {"stopped", Command::None},
      {"", Command::None}};
  for (const auto& [line, command] : lines)
    EXPECT_EQ(parseCommand(line), command) << line;
#if __has_include(<unicode/uloc.h>)
  uloc_setDefault(nullptr, &status);
#endif
}

// A line of up to 1 MiB is kept; a longer one is no command and comes back
// empty, and the line after it is read as usual.
TEST(CommandReaderTest, LinesOverOneMebibyteComeBackEmpty) {
  const std::string kept(1 << 20, 's');
  std::FILE* file = std::tmpfile();
  std::fputs((kept + "\n" + kept + "s\nstop").c_str(), file);
  std::rewind(file);
  LineReader reader(fileno(file));
  EXPECT_EQ(reader.next(), kept);
  EXPECT_EQ(reader.next(), "");
  EXPECT_EQ(reader.next(), "stop");
  std::fclose(file);
}

}  // namespace
}  // namespace quorvel
