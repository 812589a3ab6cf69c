#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#if defined(__linux__)
#include <unicode/locid.h>
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
  // Commands come from a pipe the test writes and closes.
  void SetUp() override {
    ASSERT_EQ(pipe(input), 0);
    fake.platform.commandInput = input[0];
  }
  void TearDown() override {
    if (input[1] >= 0) close(input[1]);
    fake.join();
    close(input[0]);
    gListener.reset();
    gSignalSources.clear();
    gAppDelegate.reset();
  }
  void run(const Steps& steps) { runScript(steps, fake.queue, output, verbs); }

  FakePlatform fake;
  CapturedOutput output;
  int input[2] = {-1, -1};
  const Verbs verbs = {
      {"begin", [this](auto) { beginListeningAfterAuth(fake.platform); }},
      {"partial",
       [this](auto& text) { fake.speech.lastTask().send(text, false); }},
      {"signal", [this](auto& signo) { fake.raise(std::stoi(signo)); }},
      // Writes the text as commands, and waits for the reader to end
      // (at a stop word, or after the text when "and close").
      {"type",
       [this](auto& text) {
         const bool close = text.ends_with(" and close");
         const std::string bytes = text.substr(0, text.size() - 10 * close);
         ASSERT_EQ(write(input[1], bytes.data(), bytes.size()),
                   ssize_t(bytes.size()));
         if (close) ::close(std::exchange(input[1], -1));
         fake.join();
       }},
  };
};

TEST_F(ListeningStartupTest, LocaleIsFirstPreferredLanguageWithRecognizer) {
  fake.speech.locales = {{"de", {}}, {"en-GB", {}}, {"pt-BR", {}}};
  EXPECT_EQ(chooseLocale(fake.speech, {"de_CH", "en-GB"}), "de");
  EXPECT_EQ(chooseLocale(fake.speech, {"pt_BR"}), "pt-BR");
  EXPECT_EQ(chooseLocale(fake.speech, {}), "en-US");
  EXPECT_EQ(chooseLocale(fake.speech, {"--", "fr_FR", "-en-GB"}), "en-US");
  EXPECT_EQ(fake.speech.probes,
            (std::vector<std::string>{"de-CH", "de", "pt-BR", "--", "fr-FR",
                                      "fr", "-en-GB", "en"}));
}

// Once listening, SIGTERM and SIGINT are orderly stops; a second one during
// the stop changes nothing.
TEST_F(ListeningStartupTest, ReadyComesFirstThenSignalsStopInOrder) {
  fake.languages = {"en_US"};
  run({"begin; > ready|en-US; > listening; partial go on; > partial|go on",
       "signal 15; run; signal 2; at 1.59; at 1.6",
       "> final|go on|stop; > stopped; exit 0"});
  EXPECT_EQ(fake.handlers.size(), 2u);
  EXPECT_EQ(fake.handlers[0].first + fake.handlers[1].first, SIGTERM + SIGINT);
}

// The reader thread posts each command; a stop word ends the reading with
// the input still open, as does its end.
TEST_F(ListeningStartupTest, CommandsUntilAStopWordOrTheEndOfInput) {
  run({"begin; > ready|en-US; > listening",
       "type   PAUSE  \nResume\r\n\nhello\n\xff\xfe\nPause\r\nquit\npause\n",
       "run; > paused; > listening; 2> resume after pause; > paused",
       "> stopped; exit 0"});
}

TEST_F(ListeningStartupTest, EndOfInputStopsAndStartFailuresFollowReady) {
  run({"begin; > ready|en-US; > listening; type pause\nunknown and close",
       "run; > paused; > stopped; exit 0"});
  fake.speech.locales.clear();
  run({"die 3: begin; > ready|en-US",
       "> fatal|No SFSpeechRecognizer for locale en-US"});
}

TEST(CommandReaderTest, CommandsAreTrimmedLowerCasedWordsInAnyLocale) {
#if defined(__linux__)
  // The user's locale must not change the case rules (Turkish "QUIT").
  UErrorCode status = U_ZERO_ERROR;
  const icu::Locale saved = icu::Locale::getDefault();
  icu::Locale::setDefault(icu::Locale("tr_TR"), status);
#endif
  for (const char* word :
       {"stop", "QUIT", "Exit", "\t\xE3\x80\x80quit\xC2\x85"})
    EXPECT_EQ(parseCommand(word), Command::Stop) << word;
  EXPECT_EQ(parseCommand("  PAUSE \r"), Command::Pause);
  EXPECT_EQ(parseCommand("Resume"), Command::Resume);
  for (const char* other :
       {"", "   ", "stop now", "pausex", "st op", "\xffstop"})
    EXPECT_EQ(parseCommand(other), Command::None) << other;
#if defined(__linux__)
  icu::Locale::setDefault(saved, status);
#endif
}

// "--check" anywhere, exactly, reports and exits: 0 with a recogniser,
// 2 without. Anything else starts the application.
TEST_F(ListeningStartupTest, CheckModeOrTheApplication) {
  const char* first[] = {"--check"};
  const char* later[] = {"quorvel", "x", "--check"};
  fake.microphone.status = 2;
  EXPECT_EXIT(runMain(1, first, fake.platform), testing::ExitedWithCode(0), "");
  fake.speech.locales.clear();
  fake.speech.status = 0;
  EXPECT_EXIT(runMain(3, later, fake.platform), testing::ExitedWithCode(2), "");
  fake.speech.defaultLocale.emplace();
  fake.speech.status = fake.microphone.status = 3;
  EXPECT_EXIT(runMain(3, later, fake.platform), testing::ExitedWithCode(0), "");
  EXPECT_EQ(
      output.take(),
      (std::vector<std::string>{
          R"({"type":"check","ok":false,"speechAuthorized":true,"micAuthorized":false,"speechStatus":"SFSpeechRecognizerAuthorizationStatus","micStatus":"AVAuthorizationStatus","recognizerAvailable":true})",
          R"({"type":"check","ok":false,"speechAuthorized":false,"micAuthorized":false,"speechStatus":"SFSpeechRecognizerAuthorizationStatus","micStatus":"AVAuthorizationStatus","recognizerAvailable":false})",
          R"({"type":"check","ok":true,"speechAuthorized":true,"micAuthorized":true,"speechStatus":"SFSpeechRecognizerAuthorizationStatus","micStatus":"AVAuthorizationStatus","recognizerAvailable":true})"}));

  const char* application[] = {"quorvel", "--Check", "--check=1"};
  EXPECT_EQ(runMain(3, application, fake.platform), 0);
  EXPECT_EQ(fake.runs, 1);
  EXPECT_TRUE(fake.accessory);
  ASSERT_TRUE(fake.delegate);
  EXPECT_FALSE(
      fake.delegate->applicationShouldTerminateAfterLastWindowClosed());
  fake.delegate->applicationDidFinishLaunching();
  fake.queue.runUntilIdle();
  EXPECT_EQ(fake.activations, 1);
  EXPECT_EQ(output.take().back(), record("listening"));
}

}  // namespace
}  // namespace quorvel
