// The wall clock on macOS: Core Foundation's absolute time, in seconds
// since 2001. Read from any thread, the capture thread included.
#ifndef QUORVEL_PLATFORM_MACOS_MAC_CLOCK_H_
#define QUORVEL_PLATFORM_MACOS_MAC_CLOCK_H_

#include "platform/clock.h"

namespace quorvel {

class MacWallClock final : public WallClock {
 public:
  double now() const override;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_MACOS_MAC_CLOCK_H_
