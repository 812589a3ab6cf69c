#include "platform/macos/mac_clock.h"

#include <CoreFoundation/CoreFoundation.h>

namespace quorvel {

double MacWallClock::now() const { return CFAbsoluteTimeGetCurrent(); }

}  // namespace quorvel
