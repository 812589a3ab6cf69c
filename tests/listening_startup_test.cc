#include "app/listening_startup.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "app/entry.h"
#include "listener/continuous_listener.h"
#include "tests/fakes/fake_platform.h"

namespace quorvel {
namespace {

using Lines = std::vector<std::string>;

class ListeningStartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe(input), 0);
    platform.commandInput = input[0];
  }
  void TearDown() override {
    if (input[1] >= 0) close(input[1]);
    fake.background.join();  // the reader ends at the end of input
    close(input[0]);
    gListener.reset();
    gSignalSources.clear();
    gAppDelegate.reset();
  }
  void send(const std::string& line) {
    ASSERT_EQ(write(input[1], line.data(), line.size()),
              static_cast<ssize_t>(line.size()));
  }
  void closeInput() {
    close(input[1]);
    input[1] = -1;
  }
  // Runs what the reader thread posts until the process would exit.
  void settle() {
    for (int i = 0; i < 5000 && !fake.queue.exitStatus(); ++i) {
      fake.queue.runUntilIdle();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  int input[2];
  FakePlatform fake;
  Platform platform = fake.platform();
  CapturedOutput output;
};

TEST_F(ListeningStartupTest, LocaleIsFirstPreferredLanguageWithRecognizer) {
  fake.speech.locales = {{"de", {}}, {"en-GB", {}}};
  EXPECT_EQ(chooseLocale(fake.speech, {"de_CH", "en-GB"}), "de");
  EXPECT_EQ(fake.speech.probes, (Lines{"de-CH", "de"}));

  fake.speech.probes.clear();
  EXPECT_EQ(chooseLocale(fake.speech, {}), "en-US");
  EXPECT_EQ(chooseLocale(fake.speech, {"--", "fr_FR", "-en-GB"}), "en-US");
  EXPECT_EQ(fake.speech.probes, (Lines{"--", "fr-FR", "fr", "-en-GB", "en"}));
  fake.speech.locales = {{"pt-BR", {}}};
  EXPECT_EQ(chooseLocale(fake.speech, {"pt_BR"}), "pt-BR");
}

TEST_F(ListeningStartupTest, ReadyComesFirstThenSignalsStopInOrder) {
  fake.languages.languages = {"en_US"};
  beginListeningAfterAuth(platform);
  EXPECT_EQ(output.takeLines(), (Lines{R"({"type":"ready","locale":"en-US"})",
                                       R"({"type":"listening"})"}));
  EXPECT_EQ(fake.signals.watched(), (std::vector<int>{SIGINT, SIGTERM}));
  fake.speech.lastTask().sendPartial("go on");
  fake.signals.raise(SIGTERM);
  fake.queue.runUntilIdle();
  fake.signals.raise(SIGINT);  // during the flush: changes nothing
  fake.queue.advance(1.59);
  EXPECT_EQ(output.takeLines(), Lines{R"({"type":"partial","text":"go on"})"});
  fake.queue.advance(0.01);
  EXPECT_EQ(output.takeLines(),
            (Lines{R"({"type":"final","text":"go on","reason":"stop"})",
                   R"({"type":"stopped"})"}));
  EXPECT_EQ(fake.queue.exitStatus(), 0);
}

TEST_F(ListeningStartupTest, EndOfInputStopsTheListener) {
  beginListeningAfterAuth(platform);
  send("PAUSE\n");
  closeInput();
  fake.background.join();
  fake.queue.runUntilIdle();
  EXPECT_EQ(
      output.lines(),
      (Lines{R"({"type":"ready","locale":"en-US"})", R"({"type":"listening"})",
             R"({"type":"paused"})", R"({"type":"stopped"})"}));
  EXPECT_EQ(fake.queue.exitStatus(), 0);
}

TEST_F(ListeningStartupTest, StartFailureComesAfterReady) {
  fake.speech.locales.clear();
  EXPECT_EXIT(beginListeningAfterAuth(platform), ::testing::ExitedWithCode(3),
              "");
  EXPECT_EQ(
      output.lines(),
      (Lines{
          R"({"type":"ready","locale":"en-US"})",
          R"({"type":"error","message":"No SFSpeechRecognizer for locale en-US","fatal":true})"}));
}

TEST_F(ListeningStartupTest, LaunchToStopEndToEnd) {
  const char* argv[] = {"quorvel", "--Check", "--check=1"};
  fake.microphone.status = 0;
  EXPECT_EQ(runMain(3, argv, platform), 0);
  EXPECT_EQ(fake.application.runs, 1);
  EXPECT_TRUE(fake.application.accessory);
  ASSERT_NE(fake.application.delegate, nullptr);
  EXPECT_FALSE(fake.application.delegate
                   ->applicationShouldTerminateAfterLastWindowClosed());

  fake.application.delegate->applicationDidFinishLaunching();
  fake.microphone.answer(true);
  fake.queue.runUntilIdle();
  send("stop\n");
  settle();
  const Lines lines = output.lines();
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(
      lines[1],
      R"({"type":"auth","phase":"checking","speech":"authorized","mic":"notDetermined"})");
  EXPECT_EQ(lines[4],
            R"({"type":"auth","phase":"micResult","mic":"authorized"})");
  EXPECT_EQ(lines[5], R"({"type":"ready","locale":"en-US"})");
  EXPECT_EQ(lines[6], R"({"type":"listening"})");
  EXPECT_EQ(lines[7], R"({"type":"stopped"})");
  EXPECT_EQ(fake.queue.exitStatus(), 0);
}

TEST_F(ListeningStartupTest, CheckModeReportsAndExitsOnRecognizerAlone) {
  const char* checkFirst[] = {"--check"};
  fake.microphone.status = 2;
  EXPECT_EXIT(runMain(1, checkFirst, platform), ::testing::ExitedWithCode(0),
              "");
  fake.speech.locales.clear();
  fake.speech.status = 0;
  const char* checkLater[] = {"quorvel", "x", "--check"};
  EXPECT_EXIT(runMain(3, checkLater, platform), ::testing::ExitedWithCode(2),
              "");
  fake.speech.hasDefault = true;
  fake.speech.status = 3;
  fake.microphone.status = 3;
  EXPECT_EXIT(runMain(3, checkLater, platform), ::testing::ExitedWithCode(0),
              "");
  const std::string tail =
      R"(,"speechStatus":"SFSpeechRecognizerAuthorizationStatus","micStatus":"AVAuthorizationStatus",)";
  EXPECT_EQ(
      output.lines(),
      (Lines{
          R"({"type":"check","ok":false,"speechAuthorized":true,"micAuthorized":false)" +
              tail + R"("recognizerAvailable":true})",
          R"({"type":"check","ok":false,"speechAuthorized":false,"micAuthorized":false)" +
              tail + R"("recognizerAvailable":false})",
          R"({"type":"check","ok":true,"speechAuthorized":true,"micAuthorized":true)" +
              tail + R"("recognizerAvailable":true})"}));
}

}  // namespace
}  // namespace quorvel
