#include "events/shortest_decimal.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

namespace quorvel {
namespace {

TEST(ShortestDecimalTest, FewestDigitsInTheShorterLayout) {
  const std::pair<double, const char*> cases[] = {
      {0.5, "0.5"},
      {1.0, "1"},
      {0.1, "0.1"},
      {0.001, "0.001"},
      {0.0005, "5e-04"},
      {-2.5, "-2.5"},
      {44100.0, "44100"},
      {1e21, "1e+21"},
      // Integers in fixed form keep all their digits.
      {9223372036854775808.0, "9223372036854775808"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      // Below a power of two the nearest 16-digit decimal does not read
      // back, the next one up does.
      {std::ldexp(1.0, -1017), "7.120236347223045e-307"},
      {-0.0, "-0"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::numeric_limits<double>::quiet_NaN(), "nan"},
  };
  for (const auto& [value, text] : cases) {
    EXPECT_EQ(shortestDecimal(value), text);
  }
}

#if defined(__cpp_lib_to_chars)
// Where the standard library formats doubles itself, it is the reference:
// every power of two, the levels a tap can report, and random bit patterns.
TEST(ShortestDecimalTest, AgreesWithToChars) {
  std::vector<double> values;
  for (int exponent = -1074; exponent <= 1023; ++exponent) {
    values.push_back(std::ldexp(1.0, exponent));
  }
  for (float peak = 0; peak <= 0.25f; peak += 1.0f / 65536) {
    values.push_back(static_cast<double>(peak) * 4.0);
  }
  std::mt19937_64 random(11);
  for (int i = 0; i < 50000; ++i) {
    const uint64_t bits = random();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (std::isfinite(value)) values.push_back(value);
  }
  int mismatches = 0;
  for (const double value : values) {
    char text[64];
    char* end = std::to_chars(text, text + sizeof text, value).ptr;
    const std::string expected(text, end);
    if (shortestDecimal(value) != expected && ++mismatches <= 5) {
      ADD_FAILURE() << expected << " came out as " << shortestDecimal(value);
    }
  }
  EXPECT_EQ(mismatches, 0) << "of " << values.size();
}
#endif

}  // namespace
}  // namespace quorvel
