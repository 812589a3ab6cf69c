// The background queue on Linux: every block gets a detached thread of its
// own, so a block that blocks for good (the command reader in read())
// holds up nothing and does not keep the process from exiting.
#ifndef QUORVEL_PLATFORM_LINUX_SYSTEM_LINUX_BACKGROUND_QUEUE_H_
#define QUORVEL_PLATFORM_LINUX_SYSTEM_LINUX_BACKGROUND_QUEUE_H_

#include <functional>

#include "platform/dispatch.h"

namespace quorvel {

class LinuxBackgroundQueue : public BackgroundQueue {
 public:
  // Starts block on a new detached thread. Whatever block refers to must
  // outlive it.
  void async(std::function<void()> block) override;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SYSTEM_LINUX_BACKGROUND_QUEUE_H_
