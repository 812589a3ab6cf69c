// The wall clock on Linux: the system clock, which the administrator or NTP
// may step. Read from any thread.
#ifndef QUORVEL_PLATFORM_LINUX_SYSTEM_SYSTEM_WALL_CLOCK_H_
#define QUORVEL_PLATFORM_LINUX_SYSTEM_SYSTEM_WALL_CLOCK_H_

#include "platform/clock.h"

namespace quorvel {

class SystemWallClock : public WallClock {
 public:
  // Seconds since the Unix epoch, with sub-second precision.
  double now() const override;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SYSTEM_SYSTEM_WALL_CLOCK_H_
