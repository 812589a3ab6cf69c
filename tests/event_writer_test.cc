#include "events/event_writer.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <cmath>
#include <thread>

#include "tests/fakes/fake_platform.h"

namespace quorvel {
namespace {

TEST(EventWriterTest, OneCompactLineWithEscapesAndRawUtf8) {
  EXPECT_EQ(
      encodeEvent(
          {{"type", "auth"},
           {"message", "a/b \"q\" \\ \n\r\t\b\f\x01\x1f\x7f \xE2\x86\x92 ok"},
           {"fatal", false},
           {"rms", 0.5}}),
      "{\"type\":\"auth\",\"message\":\"a\\/b \\\"q\\\" \\\\ \\n\\r\\t\\b\\f"
      "\\u0001\\u001f\x7f \xE2\x86\x92 ok\",\"fatal\":false,\"rms\":0.5}\n");
  EXPECT_EQ(encodeEvent({{"type", "level"}, {"rms", 1.0}}),
            "{\"type\":\"level\",\"rms\":1}\n");
  EXPECT_EQ(encodeEvent({{"a/b", true}}), "{\"a\\/b\":true}\n");
}

TEST(EventWriterTest, UnencodableRecordsBecomeTheFallbackLine) {
  EXPECT_EQ(fallbackLine.size(), 61u);
  const std::string bad[] = {"\xff", "\xC0\xAF", "\xED\xA0\x80",
                             "\xF4\x90\x80\x80", "ab\xE2\x86"};
  for (const std::string& text : bad) {
    EXPECT_EQ(encodeEvent({{"type", "partial"}, {"text", text}}), fallbackLine)
        << text;
    EXPECT_EQ(encodeEvent({{text, "x"}}), fallbackLine);
  }
  EXPECT_EQ(encodeEvent({{"type", "level"}, {"rms", NAN}}), fallbackLine);
  EXPECT_EQ(encodeEvent({{"type", "level"}, {"rms", -INFINITY}}), fallbackLine);
  EXPECT_NE(encodeEvent({{"text", "\xF0\x9F\x8E\xA4 \xC3\xA9"}}), fallbackLine);
}

// Lines longer than a pipe's atomic write size, from two threads at once,
// must still arrive whole.
TEST(EventWriterTest, ConcurrentLongLinesStayWhole) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const size_t length = 4 * PIPE_BUF + 123;
  const int perThread = 200;
  std::string received;
  std::thread reader([&] {
    char chunk[8192];
    for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;)
      received.append(chunk, n);
  });
  auto writer = [&](char fill) {
    const std::string line = std::string(length, fill) + "\n";
    for (int i = 0; i < perThread; ++i) writeWholeLine(fds[1], line);
  };
  std::thread a(writer, 'a'), b(writer, 'b');
  a.join();
  b.join();
  close(fds[1]);
  reader.join();
  close(fds[0]);

  int lines = 0;
  for (size_t start = 0; start < received.size(); ++lines) {
    const size_t end = received.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = received.substr(start, end - start);
    ASSERT_EQ(line, std::string(length, line[0])) << "torn line " << lines;
    start = end + 1;
  }
  EXPECT_EQ(lines, 2 * perThread);
}

TEST(EventWriterDeathTest, FailWritesFatalRecordAndExitsWithCode) {
  CapturedOutput output;
  EXPECT_EXIT(fail("bye dictation/Siri"), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(
      {
        fail("three", 3);
        emit({{"type", "never"}});
      },
      ::testing::ExitedWithCode(3), "");
  EXPECT_EQ(
      output.lines(),
      (std::vector<std::string>{
          R"({"type":"error","message":"bye dictation\/Siri","fatal":true})",
          R"({"type":"error","message":"three","fatal":true})"}));
}

}  // namespace
}  // namespace quorvel
