#include "platform/dispatch_group.h"

#include <utility>

namespace quorvel {

void DispatchGroup::enter() {
  std::lock_guard<std::mutex> lock(mutex);
  ++outstanding;
}

void DispatchGroup::leave() {
  std::function<void()> ready;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (outstanding > 0) --outstanding;
    if (outstanding == 0 && pending) ready = std::exchange(pending, nullptr);
  }
  if (ready) queue.async(std::move(ready));
}

void DispatchGroup::notify(std::function<void()> block) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (outstanding > 0) {
      pending = std::move(block);
      return;
    }
  }
  queue.async(std::move(block));
}

}  // namespace quorvel
