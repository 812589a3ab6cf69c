#include "platform/linux/system/linux_signal_sources.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
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

// A full descriptor table leaves no room for a signalfd. A signal blocked
// for it would then never be read: it must reach the queue all the same.
TEST_F(LinuxSignalSourcesTest, FullDescriptorTableStillDeliversToTheQueue) {
  EXPECT_EXIT(
      {
        alarm(20);  // a signal lost for good must fail, not hang the suite
        const int lowestFree = open("/dev/null", O_RDONLY | O_CLOEXEC);
        close(lowestFree);
        rlimit limit;
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = static_cast<rlim_t>(lowestFree);
        setrlimit(RLIMIT_NOFILE, &limit);
        if (open("/dev/null", O_RDONLY) >= 0) std::_Exit(99);
        LinuxMainQueue queue;
        LinuxSignalSources signals(queue);
        auto source = signals.watch(SIGTERM, [&] {
          std::fputs("[term]", stderr);
          queue.exitProcess(5);
        });
        kill(getpid(), SIGTERM);
        queue.runForever();
      },
      ::testing::ExitedWithCode(5), "^\\[term\\]");
}

}  // namespace
}  // namespace quorvel
