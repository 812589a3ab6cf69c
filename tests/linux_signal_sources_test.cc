#include "platform/linux/system/linux_signal_sources.h"

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <iterator>
#include <memory>

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

// Makes signalfd() fail with EMFILE in this process, as a full descriptor
// table does, and nothing else: filling the table for real would starve
// the sanitizer runtimes too (UBSan probes memory through a pipe).
bool denySignalfd() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_signalfd4, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_signalfd, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EMFILE),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(filter)),
                           filter};
  sigset_t none;
  sigemptyset(&none);
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0 &&
         signalfd(-1, &none, 0) < 0 && errno == EMFILE;
}

// Without a signalfd, a signal blocked for it would never be read: it must
// reach the queue all the same.
TEST_F(LinuxSignalSourcesTest, NoSignalfdStillDeliversToTheQueue) {
  EXPECT_EXIT(
      {
        alarm(20);  // a signal lost for good must fail, not hang the suite
        if (!denySignalfd()) std::_Exit(99);
        LinuxMainQueue queue;
        LinuxSignalSources signals(queue);
        auto source = signals.watch(SIGTERM, [&] {
          std::fputs("[term]", stderr);
          queue.exitProcess(5);
        });
        // Later, as a parent would: once every thread has set its mask.
        queue.asyncAfter(
            0.2, std::make_shared<WorkItem>([] { kill(getpid(), SIGTERM); }));
        queue.runForever();
      },
      ::testing::ExitedWithCode(5), "^\\[term\\]");
}

}  // namespace
}  // namespace quorvel
