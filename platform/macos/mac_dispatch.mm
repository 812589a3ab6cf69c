#include "platform/macos/mac_dispatch.h"

#include <dispatch/dispatch.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "platform/macos/framework_conversions.h"

namespace quorvel {
namespace {

class MacSignalSource final : public SignalSource {
 public:
  explicit MacSignalSource(dispatch_source_t source) : source(source) {}
  MacSignalSource(const MacSignalSource&) = delete;
  MacSignalSource& operator=(const MacSignalSource&) = delete;
  // The disposition stays ignored: a late signal must not kill a process
  // that is stopping in order.
  ~MacSignalSource() override { dispatch_source_cancel(source); }

 private:
  dispatch_source_t source;
};

}  // namespace

void MacMainQueue::async(std::function<void()> block) {
  dispatch_async(dispatch_get_main_queue(), ^{
    block();
  });
}

void MacMainQueue::asyncAfter(double seconds, std::shared_ptr<WorkItem> item) {
  const dispatch_time_t when =
      dispatch_time(DISPATCH_TIME_NOW, dispatchDelayNanoseconds(seconds));
  dispatch_after(when, dispatch_get_main_queue(), ^{
    if (item) item->perform();
  });
}

void MacMainQueue::exitProcess(int status) {
  dispatch_async(dispatch_get_main_queue(), ^{
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(status);
  });
}

void MacBackgroundQueue::async(std::function<void()> block) {
  dispatch_async(dispatch_get_global_queue(QOS_CLASS_UTILITY, 0), ^{
    block();
  });
}

std::unique_ptr<SignalSource> MacSignalSources::watch(
    int signo, std::function<void()> handler) {
  dispatch_source_t source = dispatch_source_create(
      DISPATCH_SOURCE_TYPE_SIGNAL, static_cast<uintptr_t>(signo), 0,
      dispatch_get_main_queue());
  if (source == nullptr) return nullptr;
  signal(signo, SIG_IGN);
  dispatch_source_set_event_handler(source, ^{
    handler();
  });
  dispatch_resume(source);
  return std::make_unique<MacSignalSource>(source);
}

}  // namespace quorvel
