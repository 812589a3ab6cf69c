#include "events/event_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <thread>

#include "events/shortest_decimal.h"

namespace quorvel {
namespace {

// Escapes, raw UTF-8 and shortest numbers; what cannot be encoded (not
// UTF-8: stray, overlong, surrogate, beyond U+10FFFF, cut short; a number
// that is not finite) becomes the fallback line.
TEST(EventWriterTest, OneCompactLineOrTheFallback) {
  EXPECT_EQ(
      encodeEvent({{"type", "auth"},
                   {"a/b", "a/b \"q\" \\ \n\r\t\b\f\x01\x1f\x7f \xE2\x86\x92"},
                   {"fatal", false},
                   {"rms", 0.5}}),
      "{\"type\":\"auth\",\"a\\/b\":\"a\\/b \\\"q\\\" \\\\ \\n\\r\\t\\b\\f"
      "\\u0001\\u001f\x7f \xE2\x86\x92\",\"fatal\":false,\"rms\":0.5}\n");
  for (const std::string bad :
       {"\xff", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "ab\xE2\x86"}) {
    EXPECT_EQ(encodeEvent({{"text", bad}}), fallbackLine);
    EXPECT_EQ(encodeEvent({{bad, "x"}}), fallbackLine);
  }
  EXPECT_EQ(encodeEvent({{"rms", NAN}}), fallbackLine);
  EXPECT_EQ(encodeEvent({{"rms", -INFINITY}}), fallbackLine);
  const std::pair<double, const char*> numbers[] = {
      {1.0, "1"},
      {0.11999999731779099, "0.11999999731779099"},  // a float level
      {0.0005, "5e-04"},
      {1e21, "1e+21"},
      {9223372036854775808.0, "9223372036854775808"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      // Below a power of two the nearest 16 digits do not read back.
      {std::ldexp(1.0, -1017), "7.120236347223045e-307"},
      {-0.0, "-0"}};
  for (const auto& [value, text] : numbers)
    EXPECT_EQ(shortestDecimal(value), text);
}

// A parent may hand over a non-blocking pipe that it reads slowly: a line
// longer than the whole pipe can only go out in parts, with waits between
// them, and each must still arrive whole while two threads write at once.
TEST(EventWriterTest, LinesStayWholeOnANonBlockingPipeReadSlowly) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
  const size_t length = (256 << 10) + 123;  // more than a pipe holds
  std::string received;
  std::thread reader([&] {
    char chunk[512];
    for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;)
      received.append(chunk, n);
  });
  auto writer = [&](char fill) {
    for (int i = 0; i < 20; ++i)
      writeWholeLine(fds[1], std::string(length, fill) + "\n");
  };
  std::thread a(writer, 'a'), b(writer, 'b');
  a.join();
  b.join();
  close(fds[1]);
  reader.join();
  close(fds[0]);
  ASSERT_EQ(received.size(), 40 * (length + 1));
  for (size_t start = 0; start < received.size(); start += length + 1) {
    ASSERT_EQ(received.substr(start, length + 1),
              std::string(length, received[start]) + "\n");
  }
}

}  // namespace
}  // namespace quorvel
