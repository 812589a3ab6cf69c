#include "platform/linux/linux_background_queue.h"

#include <thread>
#include <utility>

namespace quorvel {

void LinuxBackgroundQueue::async(std::function<void()> block) {
  std::thread(std::move(block)).detach();
}

}  // namespace quorvel
