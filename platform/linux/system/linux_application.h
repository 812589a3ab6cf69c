// The application object on Linux: the main queue's loop on the main
// thread, which tells the delegate once that launching has finished.
#ifndef QUORVEL_PLATFORM_LINUX_SYSTEM_LINUX_APPLICATION_H_
#define QUORVEL_PLATFORM_LINUX_SYSTEM_LINUX_APPLICATION_H_

#include "platform/application.h"

namespace quorvel {

class LinuxMainQueue;

class LinuxApplication : public Application {
 public:
  // queue must outlive the application.
  explicit LinuxApplication(LinuxMainQueue& queue) : queue(queue) {}
  LinuxApplication(const LinuxApplication&) = delete;
  LinuxApplication& operator=(const LinuxApplication&) = delete;

  void setDelegate(ApplicationDelegate* delegate) override;
  // Linux has no Dock or global menu bar to keep out of, and the helper
  // opens no window: nothing to do.
  void setActivationPolicyAccessory() override {}
  // A windowless process has nothing to bring forward.
  void activate() override {}
  // Queues the delegate's applicationDidFinishLaunching, then runs the main
  // queue on the calling thread; never returns.
  void run() override;

 private:
  LinuxMainQueue& queue;
  ApplicationDelegate* delegate = nullptr;  // not owned
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SYSTEM_LINUX_APPLICATION_H_
