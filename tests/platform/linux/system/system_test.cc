#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <thread>

#include "platform/linux/system/environment_languages.h"
#include "platform/linux/system/linux_main_queue.h"
#include "platform/linux/system/linux_signal_sources.h"

namespace quorvel {
namespace {

std::shared_ptr<WorkItem> item(std::function<void()> body) {
  return std::make_shared<WorkItem>(std::move(body));
}
auto mark(const char* text) {
  return [text] { std::fputs(text, stderr); };
}

// runForever never returns: each queue runs in a child process, its blocks
// writing marks on standard error until one exits. Blocks run by deadline,
// then in the order given; a cancelled one never; a block from another
// thread wakes the wait for a far deadline.
TEST(LinuxMainQueueTest, RunsBlocksByDeadlineThenInOrder) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        LinuxMainQueue queue;
        queue.asyncAfter(0.4, item(mark("[late]")));
        queue.asyncAfter(0.3, item(mark("[soon]")));
        auto cancelled = item(mark("[cancelled]"));
        queue.asyncAfter(0.2, cancelled);
        cancelled->cancel();
        queue.async([&] {
          std::fputs("[1]", stderr);
          queue.async(mark("[4]"));
        });
        queue.async(mark("[2]"));
        queue.asyncAfter(-1, item(mark("[3]")));
        queue.asyncAfter(0.5, item([&] { queue.exitProcess(7); }));
        queue.runForever();
      },
      testing::ExitedWithCode(7),
      "^\\[1\\]\\[2\\]\\[3\\]\\[4\\]\\[soon\\]\\[late\\]$");
  EXPECT_EXIT(
      {
        LinuxMainQueue queue;
        queue.asyncAfter(30, item(mark("[slept]")));
        std::thread([&] {
          queue.async([&] { queue.exitProcess(7); });
        }).detach();
        queue.runForever();
      },
      testing::ExitedWithCode(7), "^$");
}

// Makes signalfd() fail with EMFILE in this process, as a full descriptor
// table does, and nothing else: filling the table for real would starve
// the sanitizer runtimes too.
bool denySignalfd() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_signalfd4, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_signalfd, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EMFILE)};
  const sock_fprog program{5, filter};
  sigset_t none;
  sigemptyset(&none);
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0 &&
         signalfd(-1, &none, 0) < 0 && errno == EMFILE;
}

// A watched signal runs its handler on the queue; others keep their
// default action. Without a signalfd, a signal blocked for it would never
// be read: it must reach the queue all the same.
TEST(LinuxSignalSourcesTest, WatchedSignalsReachTheQueueOthersKill) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const bool withoutSignalfd : {false, true}) {
    EXPECT_EXIT(
        {
          alarm(20);  // a lost signal must fail, not hang the suite
          if (withoutSignalfd && !denySignalfd()) std::_Exit(99);
          LinuxMainQueue queue;
          LinuxSignalSources signals(queue);
          auto source = signals.watch(SIGTERM, [&] {
            std::fputs("[term]", stderr);
            queue.exitProcess(5);
          });
          // Once every thread has set its mask, as a parent would.
          queue.asyncAfter(0.2, item([] { kill(getpid(), SIGTERM); }));
          queue.runForever();
        },
        testing::ExitedWithCode(5), "^\\[term\\]");
  }
  EXPECT_EXIT(
      {
        LinuxMainQueue queue;
        LinuxSignalSources signals(queue);
        auto source = signals.watch(SIGTERM, [] {});
        kill(getpid(), SIGINT);
        queue.runForever();
      },
      testing::KilledBySignal(SIGINT), "");
}

// LANGUAGE's entries in order, else the first locale variable that is set;
// codeset and modifier stripped, C and POSIX skipped.
TEST(EnvironmentLanguagesTest, LanguageListThenFirstLocaleVariable) {
  using Variables = std::array<const char*, 4>;
  const Variables names = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
  const auto set = [&](const Variables& values) {
    for (size_t i = 0; i < 4; ++i) {
      values[i] ? setenv(names[i], values[i], 1) : unsetenv(names[i]);
    }
  };
  // Copies of what the test started with, put back at its end.
  std::array<std::string, 4> kept;
  Variables before;
  for (size_t i = 0; i < 4; ++i) {
    before[i] =
        getenv(names[i]) ? kept[i].assign(getenv(names[i])).c_str() : nullptr;
  }
  const std::pair<Variables, std::vector<std::string>> rows[] = {
      {{"de_CH.UTF-8@euro:C:::fr", "it_IT", nullptr, nullptr}, {"de_CH", "fr"}},
      {{"C:POSIX", "", "pt_BR@latin", "es_ES"}, {"pt_BR"}},
      {{nullptr, "C.UTF-8", nullptr, "es_ES"}, {}},
      {{nullptr, nullptr, nullptr, "de_DE:en_US"}, {}}};
  for (size_t row = 0; row < std::size(rows); ++row) {
    set(rows[row].first);
    EXPECT_EQ(EnvironmentLanguages().preferredLanguages(), rows[row].second)
        << "row " << row;
  }
  set(before);
}

}  // namespace
}  // namespace quorvel
