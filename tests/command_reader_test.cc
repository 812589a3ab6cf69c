#include "app/command_reader.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unistd.h>

#include <thread>

#include "listener/continuous_listener.h"
#include "tests/fakes/fake_platform.h"

namespace quorvel {
namespace {

using Lines = std::vector<std::string>;

TEST(CommandReaderTest, CommandsAreTrimmedAndLowerCased) {
  EXPECT_EQ(parseCommand("  PAUSE  "), Command::Pause);
  EXPECT_EQ(parseCommand("Pause\r"), Command::Pause);
  EXPECT_EQ(parseCommand("\t\xE3\x80\x80resume\xC2\x85"), Command::Resume);
  for (const char* word : {"stop", "QUIT", "Exit"})
    EXPECT_EQ(parseCommand(word), Command::Stop);
  for (const char* other : {"", "   ", "stop now", "pausex", "st op",
                            "\xff"
                            "stop"}) {
    EXPECT_EQ(parseCommand(other), Command::None) << other;
  }
}

TEST(CommandReaderTest, CommandsDoNotDependOnTheUsersLocale) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Locale saved = icu::Locale::getDefault();
  for (const char* locale : {"tr_TR", "az_AZ", "lt_LT"}) {
    icu::Locale::setDefault(icu::Locale(locale), status);
    EXPECT_EQ(parseCommand("QUIT"), Command::Stop) << locale;
    EXPECT_EQ(parseCommand("EXIT"), Command::Stop) << locale;
    EXPECT_EQ(parseCommand("RESUME"), Command::Resume) << locale;
  }
  icu::Locale::setDefault(saved, status);
}

class CommandReaderPipeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe(fds), 0);
    listener =
        ContinuousListener::create(fake.queue, fake.speech, fake.wallClock,
                                   std::make_unique<FakeAudioEngine>());
    listener->start();
  }
  void TearDown() override {
    close(fds[0]);
    if (fds[1] >= 0) close(fds[1]);
  }
  void write(const std::string& bytes) {
    // Written from a thread: long input would fill the pipe otherwise.
    writer = std::thread([this, bytes] {
      size_t done = 0;
      while (done < bytes.size()) {
        const ssize_t n =
            ::write(fds[1], bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += n;
      }
      close(fds[1]);
    });
  }
  // Runs the reader to its end, then the actions it posted.
  void read() {
    runCommandReader(fds[0], fake.queue, listener);
    writer.join();
    fds[1] = -1;
    fake.queue.runUntilIdle();
  }

  int fds[2];
  FakePlatform fake;
  CapturedOutput output;
  std::shared_ptr<ContinuousListener> listener;
  std::thread writer;
};

TEST_F(CommandReaderPipeTest, ActsOnEachLineUntilStopWord) {
  write("  PAUSE  \nResume\r\n\nhello\n\xff\xfe\n" + std::string(3 << 20, 'x') +
        "\nPause\r\nquit\nresume\n");
  read();
  EXPECT_EQ(output.lines(),
            (Lines{R"({"type":"listening"})", R"({"type":"paused"})",
                   R"({"type":"listening"})", R"({"type":"paused"})",
                   R"({"type":"stopped"})"}));
  EXPECT_EQ(output.errText(), "quorvel: resume after pause\n");
  EXPECT_EQ(fake.queue.exitStatus(), 0);
}

TEST_F(CommandReaderPipeTest, StopWordEndsReadingWithoutWaitingForEnd) {
  ASSERT_EQ(::write(fds[1], "quit\nresume\n", 12), 12);
  runCommandReader(fds[0], fake.queue, listener);  // returns with input open
  fake.queue.runUntilIdle();
  EXPECT_EQ(output.lines(),
            (Lines{R"({"type":"listening"})", R"({"type":"stopped"})"}));
  EXPECT_EQ(fake.queue.exitStatus(), 0);
}

TEST_F(CommandReaderPipeTest, EndOfInputStops) {
  write("pause\nunknown");
  read();
  EXPECT_EQ(output.lines(),
            (Lines{R"({"type":"listening"})", R"({"type":"paused"})",
                   R"({"type":"stopped"})"}));
  EXPECT_EQ(fake.queue.exitStatus(), 0);
}

TEST(LineReaderTest, LastLineWithoutLineFeedAndOverlongLines) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::thread writer([&] {
    const std::string big(LineReader::maxLineBytes + 10, 'y');
    for (const std::string& part :
         {std::string("a\n"), big, std::string("\nb\nstop\n"), big,
          std::string("tail")}) {
      ASSERT_EQ(::write(fds[1], part.data(), part.size()),
                static_cast<ssize_t>(part.size()));
    }
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

}  // namespace
}  // namespace quorvel
