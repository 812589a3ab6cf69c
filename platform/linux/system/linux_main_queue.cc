#include "platform/linux/system/linux_main_queue.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace quorvel {

namespace {

// Far enough to mean "never" without overflowing the clock's arithmetic.
constexpr double longestDelaySeconds = 100.0 * 365 * 24 * 3600;

}  // namespace

void LinuxMainQueue::async(std::function<void()> block) {
  post(Clock::now(), std::move(block));
}

void LinuxMainQueue::asyncAfter(double seconds,
                                std::shared_ptr<WorkItem> item) {
  if (!(seconds > 0)) seconds = 0;  // also catches NaN
  if (seconds > longestDelaySeconds) seconds = longestDelaySeconds;
  const auto delay = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(seconds));
  post(Clock::now() + delay, [item = std::move(item)] {
    if (item) item->perform();
  });
}

void LinuxMainQueue::exitProcess(int status) {
  async([status] {
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(status);
  });
}

void LinuxMainQueue::post(Clock::time_point deadline,
                          std::function<void()> block) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    blocks.emplace(Key{deadline, nextSequence++}, std::move(block));
  }
  wake.notify_one();
}

void LinuxMainQueue::runForever() {
  for (;;) {
    std::function<void()> block;
    {
      std::unique_lock<std::mutex> lock(mutex);
      wake.wait(lock, [this] { return !blocks.empty(); });
      const Clock::time_point deadline = blocks.begin()->first.first;
      if (Clock::now() < deadline) {
        // Woken early by a new block or spuriously: look again, since the
        // new block may be due before this deadline.
        wake.wait_until(lock, deadline);
        continue;
      }
      block = std::move(blocks.begin()->second);
      blocks.erase(blocks.begin());
    }
    // Run unlocked: blocks submit further blocks.
    if (block) block();
  }
}

}  // namespace quorvel
