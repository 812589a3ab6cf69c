// The wall clock, in seconds. Unlike the main queue's monotonic clock it
// may step backwards or forwards. Read from any thread.
#ifndef QUORVEL_PLATFORM_CLOCK_H_
#define QUORVEL_PLATFORM_CLOCK_H_

namespace quorvel {

class WallClock {
 public:
  virtual ~WallClock() = default;
  virtual double now() const = 0;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_CLOCK_H_
