// A main queue in virtual time: nothing runs until the test advances the
// clock, and then every block due by then runs in deadline order on the
// test's thread. exitProcess is recorded instead of ending the process.
#ifndef QUORVEL_TESTS_FAKES_FAKE_MAIN_QUEUE_H_
#define QUORVEL_TESTS_FAKES_FAKE_MAIN_QUEUE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/dispatch.h"

namespace quorvel {

class FakeMainQueue : public MainQueue {
 public:
  void async(std::function<void()> block) override;
  void asyncAfter(double seconds, std::shared_ptr<WorkItem> item) override;
  // The exit runs as a block of its own; once it has run nothing else
  // does, as the process would be gone.
  void exitProcess(int status) override;

  double now() const;
  // Runs every block due up to now + seconds, moving the clock to each
  // block's deadline before it runs, then to now + seconds.
  void advance(double seconds);
  void advanceTo(double time) { advance(time - now()); }
  // Runs what is due now, including blocks that those blocks queue now.
  void runUntilIdle() { advance(0); }
  // The status of an exit that has run.
  std::optional<int> exitStatus() const;
  size_t pendingCount() const;

 private:
  mutable std::mutex mutex;
  double clock = 0;
  uint64_t sequence = 0;
  std::multimap<std::pair<double, uint64_t>, std::function<void()>> blocks;
  std::optional<int> exited;
};

}  // namespace quorvel

#endif  // QUORVEL_TESTS_FAKES_FAKE_MAIN_QUEUE_H_
