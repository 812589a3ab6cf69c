// The main queue on Linux: a serial queue of blocks ordered by deadline on
// the steady clock, run by the main thread inside runForever. Blocks may be
// submitted from any thread.
#ifndef QUORVEL_PLATFORM_LINUX_SYSTEM_LINUX_MAIN_QUEUE_H_
#define QUORVEL_PLATFORM_LINUX_SYSTEM_LINUX_MAIN_QUEUE_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/dispatch.h"

namespace quorvel {

class LinuxMainQueue : public MainQueue {
 public:
  LinuxMainQueue() = default;
  LinuxMainQueue(const LinuxMainQueue&) = delete;
  LinuxMainQueue& operator=(const LinuxMainQueue&) = delete;

  void async(std::function<void()> block) override;
  // A negative or NaN delay counts as 0; very long ones are capped at about
  // a century.
  void asyncAfter(double seconds, std::shared_ptr<WorkItem> item) override;
  // Flushes stdio and ends the process with _exit: other threads may still
  // run, and static destructors must not run beneath them.
  void exitProcess(int status) override;

  // Runs blocks on the calling thread, each once its deadline has come,
  // earliest first and in submit order among equal deadlines. Sleeps
  // until the next deadline or submission; the process ends only through
  // an exit from a block.
  [[noreturn]] void runForever();

 private:
  using Clock = std::chrono::steady_clock;
  // Deadline, then submit sequence: begin() is always the next to run.
  using Key = std::pair<Clock::time_point, uint64_t>;

  void post(Clock::time_point deadline, std::function<void()> block);

  std::mutex mutex;
  std::condition_variable wake;
  std::map<Key, std::function<void()>> blocks;  // guarded by mutex
  uint64_t nextSequence = 0;                    // guarded by mutex
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SYSTEM_LINUX_MAIN_QUEUE_H_
