#include "permissions/status_labels.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace quorvel {
namespace {

TEST(StatusLabelsTest, SameLabelsWhereNumberingsAgree) {
  for (auto label : {speechStatusLabel, micStatusLabel}) {
    EXPECT_EQ(label(0), "notDetermined");
    EXPECT_EQ(label(3), "authorized");
  }
}

TEST(StatusLabelsTest, DeniedAndRestrictedSwapBetweenNumberings) {
  EXPECT_EQ(speechStatusLabel(1), "denied");
  EXPECT_EQ(speechStatusLabel(2), "restricted");
  EXPECT_EQ(micStatusLabel(1), "restricted");
  EXPECT_EQ(micStatusLabel(2), "denied");
}

TEST(StatusLabelsTest, OtherValuesAreUnknownWithFullSignedDecimal) {
  for (auto label : {speechStatusLabel, micStatusLabel}) {
    EXPECT_EQ(label(4), "unknown(4)");
    EXPECT_EQ(label(-1), "unknown(-1)");
    EXPECT_EQ(label(std::numeric_limits<int64_t>::max()),
              "unknown(9223372036854775807)");
    EXPECT_EQ(label(std::numeric_limits<int64_t>::min()),
              "unknown(-9223372036854775808)");
  }
}

}  // namespace
}  // namespace quorvel
