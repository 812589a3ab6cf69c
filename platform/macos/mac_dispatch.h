// The dispatch services on macOS, all libdispatch: the main queue (drained
// by the application's event loop), the utility-QoS global queue, and
// signal sources on the main queue. Any thread may submit blocks.
#ifndef QUORVEL_PLATFORM_MACOS_MAC_DISPATCH_H_
#define QUORVEL_PLATFORM_MACOS_MAC_DISPATCH_H_

#include <functional>
#include <memory>

#include "platform/dispatch.h"

namespace quorvel {

class MacMainQueue final : public MainQueue {
 public:
  void async(std::function<void()> block) override;
  // dispatch_after on the main queue. The item's own flag is its cancel:
  // like a cancelled dispatch block, a cancelled item stays queued and
  // does nothing when its time comes.
  void asyncAfter(double seconds, std::shared_ptr<WorkItem> item) override;
  // Flushes stdio and ends the process with _exit on a later turn of the
  // main queue: the capture thread may still run, and static destructors
  // must not run beneath it.
  void exitProcess(int status) override;
};

class MacBackgroundQueue final : public BackgroundQueue {
 public:
  void async(std::function<void()> block) override;
};

class MacSignalSources final : public SignalSources {
 public:
  // Sets signo to be ignored, so that it no longer ends the process, and
  // observes it with a dispatch signal source on the main queue, which
  // still sees ignored signals. Null, with the disposition untouched, if
  // dispatch makes no source for signo.
  std::unique_ptr<SignalSource> watch(int signo,
                                      std::function<void()> handler) override;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_MACOS_MAC_DISPATCH_H_
