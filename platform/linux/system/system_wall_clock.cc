#include "platform/linux/system/system_wall_clock.h"

#include <chrono>

namespace quorvel {

double SystemWallClock::now() const {
  return std::chrono::duration<double>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace quorvel
