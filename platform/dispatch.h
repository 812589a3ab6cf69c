// The dispatch services the logic runs on: one serial main queue with
// delayed, cancellable work items, a background queue for blocking reads,
// and signal sources. Every logic callback runs on the main queue.
#ifndef QUORVEL_PLATFORM_DISPATCH_H_
#define QUORVEL_PLATFORM_DISPATCH_H_

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

namespace quorvel {

// A one-shot block that can be cancelled until it starts. Cancelling from
// the main queue before the item's turn keeps its body from ever running.
class WorkItem {
 public:
  explicit WorkItem(std::function<void()> body) : body(std::move(body)) {}
  WorkItem(const WorkItem&) = delete;
  WorkItem& operator=(const WorkItem&) = delete;

  void cancel() { cancelled.store(true); }
  // Runs the body unless the item was cancelled. Called by queues only.
  void perform() {
    if (!cancelled.load() && body) body();
  }

 private:
  std::function<void()> body;
  std::atomic<bool> cancelled{false};
};

// The one serial queue that owns all listener and permission state.
// async and asyncAfter may be called from any thread.
class MainQueue {
 public:
  virtual ~MainQueue() = default;
  // Runs block on a later turn of the queue, after work already queued.
  virtual void async(std::function<void()> block) = 0;
  // Runs item at now + seconds on the queue's monotonic clock, unless it
  // is cancelled first. Items due at the same moment run in submit order.
  virtual void asyncAfter(double seconds, std::shared_ptr<WorkItem> item) = 0;
  // Ends the process with status on a later turn of the queue, so that
  // every record written before the call reaches the parent first.
  virtual void exitProcess(int status) = 0;
};

// A concurrent queue of utility quality of service: runs blocks that may
// block for a long time (the command reader) off the main queue.
class BackgroundQueue {
 public:
  virtual ~BackgroundQueue() = default;
  virtual void async(std::function<void()> block) = 0;
};

// A live subscription to one signal; the signal is observed while the
// source exists. Destroying it does not restore the default action.
class SignalSource {
 public:
  virtual ~SignalSource() = default;
};

class SignalSources {
 public:
  virtual ~SignalSources() = default;
  // Takes signo away from its default action: the process no longer dies
  // of it, and handler runs on the main queue once per delivery (repeated
  // signals may be coalesced).
  virtual std::unique_ptr<SignalSource> watch(
      int signo, std::function<void()> handler) = 0;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_DISPATCH_H_
