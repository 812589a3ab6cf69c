// Counts outstanding asynchronous steps and runs one block on the main
// queue once all of them have finished. enter and leave may be called from
// any thread; notify from the main queue.
#ifndef QUORVEL_PLATFORM_DISPATCH_GROUP_H_
#define QUORVEL_PLATFORM_DISPATCH_GROUP_H_

#include <functional>
#include <mutex>

#include "platform/dispatch.h"

namespace quorvel {

class DispatchGroup {
 public:
  // queue must outlive the group.
  explicit DispatchGroup(MainQueue& queue) : queue(queue) {}
  DispatchGroup(const DispatchGroup&) = delete;
  DispatchGroup& operator=(const DispatchGroup&) = delete;

  void enter();
  // Matches one enter; the last leave submits the notify block, if set.
  void leave();
  // Submits block to the main queue as soon as every enter is matched by a
  // leave: at once (asynchronously) when nothing is outstanding.
  void notify(std::function<void()> block);

 private:
  MainQueue& queue;
  std::mutex mutex;
  int outstanding = 0;
  std::function<void()> pending;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_DISPATCH_GROUP_H_
