#include "permissions/manual_grant_poll.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/fakes/fake_platform.h"

namespace quorvel {
namespace {

struct Completion {
  double at;  // queue time of the call
  int64_t status;
  bool operator==(const Completion&) const = default;
};

class ManualGrantPollTest : public ::testing::Test {
 protected:
  ManualGrantPollTest() {
    fake.speech.status = 0;
    fake.microphone.status = 0;
  }

  void start(double timeoutSeconds = 45.0) {
    pollSpeechAuthorized(fake.platform(), timeoutSeconds, 1.0,
                         [this](int64_t status) {
                           completions.push_back({fake.queue.now(), status});
                         });
  }

  static std::string waiting(const std::string& speech,
                             const std::string& mic) {
    return "{\"type\":\"auth\",\"phase\":\"waitingManualGrant\",\"speech\":\"" +
           speech + "\",\"mic\":\"" + mic + "\"}";
  }

  FakePlatform fake;
  CapturedOutput out;
  std::vector<Completion> completions;
};

TEST_F(ManualGrantPollTest, WaitsAboutFortyFiveLooksThenHandsOverUndecided) {
  start();
  fake.queue.advanceTo(0.49);
  EXPECT_TRUE(out.takeLines().empty());
  fake.queue.advanceTo(0.5);
  EXPECT_EQ(out.takeLines(), std::vector<std::string>{
                                 waiting("notDetermined", "notDetermined")});

  fake.queue.advanceTo(44.5);
  EXPECT_EQ(out.takeLines().size(), 44u);
  EXPECT_TRUE(completions.empty());

  fake.queue.advanceTo(45.49);
  EXPECT_TRUE(completions.empty());
  fake.queue.advanceTo(100);
  EXPECT_TRUE(out.takeLines().empty());
  EXPECT_EQ(completions, (std::vector<Completion>{{45.5, 0}}));
  EXPECT_EQ(fake.queue.pendingCount(), 0u);
}

TEST_F(ManualGrantPollTest, GrantBetweenLooksCompletesAtTheNextLook) {
  start();
  fake.queue.advanceTo(2.7);
  out.takeLines();
  fake.speech.status = 3;
  fake.queue.advanceTo(100);
  EXPECT_TRUE(out.takeLines().empty());
  EXPECT_EQ(completions, (std::vector<Completion>{{3.5, 3}}));
}

TEST_F(ManualGrantPollTest, DenialBetweenLooksCompletesAtTheNextLook) {
  start();
  fake.queue.advanceTo(2.7);
  out.takeLines();
  fake.speech.status = 1;
  fake.queue.advanceTo(100);
  EXPECT_TRUE(out.takeLines().empty());
  EXPECT_EQ(completions, (std::vector<Completion>{{3.5, 1}}));
}

TEST_F(ManualGrantPollTest, AlreadyAuthorizedCompletesAtFirstLookSilently) {
  fake.speech.status = 3;
  start();
  EXPECT_TRUE(completions.empty());
  fake.queue.advanceTo(100);
  EXPECT_TRUE(out.takeLines().empty());
  EXPECT_EQ(completions, (std::vector<Completion>{{0.5, 3}}));
}

TEST_F(ManualGrantPollTest, NoTimeLeftEndsAtFirstLookWithoutEvent) {
  start(/*timeoutSeconds=*/0);
  fake.queue.advanceTo(10);
  start(/*timeoutSeconds=*/-5);
  fake.queue.advanceTo(20);
  EXPECT_TRUE(out.takeLines().empty());
  EXPECT_EQ(completions, (std::vector<Completion>{{0.5, 0}, {10.5, 0}}));
}

TEST_F(ManualGrantPollTest, OutOfRangeStatusIsWaitedOnAndHandedOver) {
  fake.speech.status = 7;
  start();
  fake.queue.advanceTo(0.5);
  EXPECT_EQ(out.takeLines(),
            std::vector<std::string>{waiting("unknown(7)", "notDetermined")});
  fake.queue.advanceTo(100);
  EXPECT_EQ(completions, (std::vector<Completion>{{45.5, 7}}));
}

TEST_F(ManualGrantPollTest, WallClockStepForwardsEndsTheWaitEarly) {
  start();
  fake.queue.advanceTo(10.5);
  EXPECT_EQ(out.takeLines().size(), 11u);
  fake.wallClock.offset = 40;
  fake.queue.advanceTo(100);
  EXPECT_TRUE(out.takeLines().empty());
  EXPECT_EQ(completions, (std::vector<Completion>{{11.5, 0}}));
}

}  // namespace
}  // namespace quorvel
