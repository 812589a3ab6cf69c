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
  // Commands come from a pipe that stays open until the test ends.
  void SetUp() override {
    ASSERT_EQ(pipe(input), 0);
    fake.platform.commandInput = input[0];
  }
  void TearDown() override {
    close(input[1]);
    fake.background.join();
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
      {"signal", [this](auto& signo) { fake.signals.raise(std::stoi(signo)); }},
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

// Once listening, SIGTERM and SIGINT are orderly stops, a second one
// during the stop changes nothing.
TEST_F(ListeningStartupTest, ReadyComesFirstThenSignalsStopInOrder) {
  fake.languages.languages = {"en_US"};
  run({"begin; > ready|en-US; > listening; partial go on; > partial|go on",
       "signal " + std::to_string(SIGTERM) + "; run; signal " +
           std::to_string(SIGINT),
       "at 1.59; at 1.6; > final|go on|stop; > stopped; exit 0"});
  EXPECT_EQ(fake.signals.handlers.size(), 2u);
}

TEST_F(ListeningStartupTest, StartFailureComesAfterReady) {
  fake.speech.locales.clear();
  run({"die 3: begin; > ready|en-US",
       "> fatal|No SFSpeechRecognizer for locale en-US"});
}

// The command reader runs on a thread of its own and posts to the queue;
// a stop word ends the reading with the input still open.
TEST_F(ListeningStartupTest, CommandsUntilAStopWordOrTheEndOfInput) {
  const std::string input[] = {"  PAUSE  \nResume\r\n\nhello\n\xff\xfe\n" +
                                   std::string(3 << 20, 'x') +
                                   "\nPause\r\nquit\npause\n",
                               "pause\nunknown"};
  const Steps expected[] = {
      {"> ready|en-US; > listening; > paused; > listening",
       "2> resume after pause; > paused; > stopped; exit 0"},
      {"> ready|en-US; > listening; > paused; > stopped; exit 0"}};
  for (int endOfInput = 0; endOfInput < 2; ++endOfInput) {
    FakePlatform own;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    own.platform.commandInput = fds[0];
    std::thread writer([&] {
      const std::string& bytes = input[endOfInput];
      for (size_t done = 0; done < bytes.size();) {
        const ssize_t n =
            write(fds[1], bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += n;
      }
    });
    beginListeningAfterAuth(own.platform);
    writer.join();
    if (endOfInput) close(fds[1]);
    own.background.join();
    own.queue.runUntilIdle();
    runScript(expected[endOfInput], own.queue, output, {});
    if (!endOfInput) close(fds[1]);
    close(fds[0]);
    gListener.reset();
  }
}

TEST(CommandReaderTest, CommandsAreTrimmedLowerCasedWordsInAnyLocale) {
#if defined(__linux__)
  // The user's locale must not change the case rules (Turkish "QUIT").
  UErrorCode status = U_ZERO_ERROR;
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
  icu::Locale::setDefault(icu::Locale("en_US"), status);
#endif
}

TEST(CommandReaderTest, LinesLongerThanOneMebibyteAreDroppedWhole) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string big(LineReader::maxLineBytes + 10, 'y');
  std::thread writer([&] {
    const std::string all = "a\n" + big + "\nb\nstop\n" + big + "tail";
    for (size_t done = 0; done < all.size();)
      done += std::max<ssize_t>(
          0, write(fds[1], all.data() + done, all.size() - done));
    close(fds[1]);
  });
  LineReader reader(fds[0]);
  std::vector<std::optional<std::string>> got;
  for (int i = 0; i < 6; ++i) got.push_back(reader.next());
  writer.join();
  close(fds[0]);
  EXPECT_EQ(got, (std::vector<std::optional<std::string>>{"a", "", "b", "stop",
                                                          "", std::nullopt}));
}

// "--check" anywhere, exactly, reports and exits: 0 with a recogniser,
// 2 without. Anything else starts the application.
TEST_F(ListeningStartupTest, CheckModeOrTheApplication) {
  const std::string tail =
      R"(,"speechStatus":"SFSpeechRecognizerAuthorizationStatus","micStatus":"AVAuthorizationStatus","recognizerAvailable":)";
  const char* first[] = {"--check"};
  const char* later[] = {"quorvel", "x", "--check"};
  fake.microphone.status = 2;
  EXPECT_EXIT(runMain(1, first, fake.platform), ::testing::ExitedWithCode(0),
              "");
  fake.speech.locales.clear();
  fake.speech.status = 0;
  EXPECT_EXIT(runMain(3, later, fake.platform), ::testing::ExitedWithCode(2),
              "");
  fake.speech.defaultLocale.emplace();
  fake.speech.status = 3;
  fake.microphone.status = 3;
  EXPECT_EXIT(runMain(3, later, fake.platform), ::testing::ExitedWithCode(0),
              "");
  EXPECT_EQ(
      output.take(),
      (std::vector<std::string>{
          R"({"type":"check","ok":false,"speechAuthorized":true,"micAuthorized":false)" +
              tail + "true}",
          R"({"type":"check","ok":false,"speechAuthorized":false,"micAuthorized":false)" +
              tail + "false}",
          R"({"type":"check","ok":true,"speechAuthorized":true,"micAuthorized":true)" +
              tail + "true}"}));

  const char* application[] = {"quorvel", "--Check", "--check=1"};
  EXPECT_EQ(runMain(3, application, fake.platform), 0);
  EXPECT_EQ(fake.application.runs, 1);
  EXPECT_TRUE(fake.application.accessory);
  ASSERT_NE(fake.application.delegate, nullptr);
  EXPECT_FALSE(fake.application.delegate
                   ->applicationShouldTerminateAfterLastWindowClosed());
  fake.application.delegate->applicationDidFinishLaunching();
  fake.queue.runUntilIdle();
  EXPECT_EQ(output.take().back(), record("listening"));
  EXPECT_EQ(fake.application.activations, 1);
}

}  // namespace
}  // namespace quorvel
