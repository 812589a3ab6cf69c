#include "platform/linux/system/linux_main_queue.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <thread>

namespace quorvel {
namespace {

// runForever never returns, so each test runs the queue in a child
// process: blocks write markers to stderr and the last one exits.
class LinuxMainQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

  static std::shared_ptr<WorkItem> mark(const char* text) {
    return std::make_shared<WorkItem>([text] { std::fputs(text, stderr); });
  }
};

TEST_F(LinuxMainQueueTest, RunsBlocksByDeadlineThenInSubmitOrder) {
  EXPECT_EXIT(
      {
        LinuxMainQueue queue;
        queue.asyncAfter(0.4, mark("[late]"));
        queue.asyncAfter(0.3, mark("[soon]"));
        queue.async([&] {
          std::fputs("[1]", stderr);
          // Queued behind the blocks already waiting.
          queue.async([] { std::fputs("[4]", stderr); });
        });
        queue.async([] { std::fputs("[2]", stderr); });
        queue.asyncAfter(-1, mark("[3]"));
        queue.asyncAfter(
            0.5, std::make_shared<WorkItem>([&] { queue.exitProcess(7); }));
        queue.runForever();
      },
      ::testing::ExitedWithCode(7),
      "^\\[1\\]\\[2\\]\\[3\\]\\[4\\]\\[soon\\]\\[late\\]$");
}

TEST_F(LinuxMainQueueTest, CancelledItemNeverRuns) {
  EXPECT_EXIT(
      {
        LinuxMainQueue queue;
        auto cancelled = mark("[cancelled]");
        queue.asyncAfter(0.02, cancelled);
        cancelled->cancel();
        queue.asyncAfter(0.05, mark("[kept]"));
        queue.asyncAfter(
            0.08, std::make_shared<WorkItem>([&] { queue.exitProcess(7); }));
        queue.runForever();
      },
      ::testing::ExitedWithCode(7), "^\\[kept\\]$");
}

TEST_F(LinuxMainQueueTest, BlockFromAnotherThreadWakesTheWait) {
  EXPECT_EXIT(
      {
        LinuxMainQueue queue;
        // Without a wake-up the queue would sleep until this one.
        queue.asyncAfter(30, std::make_shared<WorkItem>([&] {
                           std::fputs("[slept]", stderr);
                           queue.exitProcess(9);
                         }));
        std::thread([&] {
          queue.async([&] {
            std::fputs("[woken]", stderr);
            queue.exitProcess(7);
          });
        }).detach();
        queue.runForever();
      },
      ::testing::ExitedWithCode(7), "^\\[woken\\]$");
}

}  // namespace
}  // namespace quorvel
