// Signal sources on Linux: a watched signal is blocked on the calling (main
// queue) thread and read from a signalfd by a watcher thread, which posts
// the subscribers' handlers to their main queue. A thread that does not
// block it gets a handler that only marks the delivery for a second
// watcher; without a signalfd, that watcher takes every delivery. Call
// watch from the main queue's thread.
#ifndef QUORVEL_PLATFORM_LINUX_SYSTEM_LINUX_SIGNAL_SOURCES_H_
#define QUORVEL_PLATFORM_LINUX_SYSTEM_LINUX_SIGNAL_SOURCES_H_

#include <functional>
#include <memory>

#include "platform/dispatch.h"

namespace quorvel {

class LinuxSignalSources : public SignalSources {
 public:
  // queue must outlive every source made here.
  explicit LinuxSignalSources(MainQueue& queue) : queue(queue) {}
  LinuxSignalSources(const LinuxSignalSources&) = delete;
  LinuxSignalSources& operator=(const LinuxSignalSources&) = delete;

  // From the first call for signo on, the signal is caught for the rest of
  // the process (it is not ignored: Linux discards ignored signals before
  // anyone could observe them). handler runs on the queue once per
  // delivery while the source lives; deliveries close together may
  // coalesce. Blocks signo on the calling thread and the threads it starts
  // later. Needs no descriptor beyond the signalfd, and works without it.
  std::unique_ptr<SignalSource> watch(int signo,
                                      std::function<void()> handler) override;

 private:
  MainQueue& queue;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SYSTEM_LINUX_SIGNAL_SOURCES_H_
