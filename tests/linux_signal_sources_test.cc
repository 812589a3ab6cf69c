#include "platform/linux/system/linux_signal_sources.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "platform/linux/system/linux_main_queue.h"

namespace quorvel {
namespace {

class LinuxSignalSourcesTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(LinuxSignalSourcesTest,
       WatchedSignalRunsHandlerOnQueueInsteadOfKilling) {
  EXPECT_EXIT(
      {
        LinuxMainQueue queue;
        LinuxSignalSources signals(queue);
        int seen = 0;
        auto source = signals.watch(SIGTERM, [&] {
          std::fputs("[term]", stderr);
          if (++seen == 1) queue.exitProcess(5);
        });
        // Sent to the process, as a parent's kill is.
        kill(getpid(), SIGTERM);
        kill(getpid(), SIGTERM);
        queue.runForever();
      },
      ::testing::ExitedWithCode(5), "^\\[term\\]");
}

TEST_F(LinuxSignalSourcesTest, UnwatchedSignalKeepsItsDefaultAction) {
  EXPECT_EXIT(
      {
        LinuxMainQueue queue;
        LinuxSignalSources signals(queue);
        auto source = signals.watch(SIGTERM, [] {});
        kill(getpid(), SIGINT);
        queue.runForever();
      },
      ::testing::KilledBySignal(SIGINT), "");
}

}  // namespace
}  // namespace quorvel
