#include <gtest/gtest.h>
#include <unistd.h>
#if __has_include(<unicode/uloc.h>)
#include <unicode/uloc.h>
#endif

#include "app/command_reader.h"
#include "app/entry.h"
#include "app/listening_startup.h"
#include "listener/continuous_listener.h"
#include "tests/fakes/script.h"

namespace quorvel {
namespace {

class ListeningStartupTest : public ::testing::Test {
 protected:
  // Commands come from a pipe that stays open until the test ends.
  void SetUp() override {
    ASSERT_EQ(pipe(input), 0);
    fake.platform.commandInput = input[0];
  }
  void TearDown() override {
    close(input[1]);
    fake.join();
    close(input[0]);
    gListener.reset();
    gSignalSources.clear();
    gAppDelegate.reset();
  }

  FakePlatform fake;
  CapturedOutput output;
  int input[2];
};

TEST_F(ListeningStartupTest, LocaleIsFirstPreferredLanguageWithRecognizer) {
  fake.speech.locales = {{"de", {}}, {"pt", {}}, {"en-GB", {}}};
  EXPECT_EQ(chooseLocale(fake.speech, {"de_CH", "pt_BR"}), "de");
  EXPECT_EQ(chooseLocale(fake.speech, {"--", "-pt_BR"}), "pt");
  EXPECT_EQ(chooseLocale(fake.speech, {"en_GB"}), "en-GB");
  EXPECT_EQ(chooseLocale(fake.speech, {"fr_FR"}), "en-US");
  EXPECT_EQ(fake.speech.probes,
            (std::vector<std::string>{"de-CH", "de", "--", "-pt-BR", "pt",
                                      "en-GB", "fr-FR", "fr"}));
}

// "ready" first; once listening, SIGTERM and SIGINT are orderly stops, and
// a second one during the stop changes nothing. A start failure comes
// after "ready".
TEST_F(ListeningStartupTest, ReadyComesFirstThenSignalsStopInOrder) {
  fake.languages = {"en_US"};
  runScript({"begin; > ready|en-US; > listening; partial go on",
             "> partial|go on; term; run; int; at 1.59; at 1.6",
             "> final|go on|stop; > stopped; exit 0"},
            fake.queue, output,
            {{"begin", [&](auto) { beginListeningAfterAuth(fake.platform); }},
             {"partial",
              [&](auto& text) { fake.speech.lastTask().send(text, false); }},
             {"term", [&](auto) { fake.raise(SIGTERM); }},
             {"int", [&](auto) { fake.raise(SIGINT); }}});
  EXPECT_EQ(fake.handlers.size(), 2u);
  fake.speech.locales.clear();
  EXPECT_EXIT(beginListeningAfterAuth(fake.platform),
              testing::ExitedWithCode(3), "");
  EXPECT_EQ(output.take(),
            (std::vector<std::string>{
                record("ready|en-US"),
                record("fatal|No SFSpeechRecognizer for locale en-US")}));
}

// "--check" anywhere, exactly, reports and exits: 0 with a recogniser (the
// locale's or the default), 2 without. Anything else starts the
// application, an accessory one, whose launch leads to listening.
TEST_F(ListeningStartupTest, CheckModeOrTheApplication) {
  const char* check[] = {"quorvel", "x", "--check"};
  fake.speech.locales.clear();
  fake.speech.status = 0;
  EXPECT_EXIT(runMain(3, check, fake.platform), testing::ExitedWithCode(2), "");
  fake.speech.defaultLocale.emplace();
  fake.speech.status = 3;
  EXPECT_EXIT(runMain(3, check, fake.platform), testing::ExitedWithCode(0), "");
  const std::string tail =
      R"(,"speechStatus":"SFSpeechRecognizerAuthorizationStatus","micStatus":"AVAuthorizationStatus","recognizerAvailable":)";
  EXPECT_EQ(
      output.take(),
      (std::vector<std::string>{
          R"({"type":"check","ok":false,"speechAuthorized":false,"micAuthorized":true)" +
              tail + "false}",
          R"({"type":"check","ok":true,"speechAuthorized":true,"micAuthorized":true)" +
              tail + "true}"}));
  const char* application[] = {"quorvel", "--Check", "--check=1"};
  EXPECT_EQ(runMain(3, application, fake.platform), 0);
  EXPECT_TRUE(fake.accessory && fake.runs == 1 && fake.delegate);
  EXPECT_FALSE(
      fake.delegate->applicationShouldTerminateAfterLastWindowClosed());
  fake.delegate->applicationDidFinishLaunching();
  fake.queue.runUntilIdle();
  EXPECT_EQ(fake.activations, 1);
  EXPECT_EQ(output.take().back(), record("listening"));
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

}  // namespace
}  // namespace quorvel
