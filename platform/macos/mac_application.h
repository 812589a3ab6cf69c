// The application object on macOS: NSApplication's shared application,
// whose event loop runs on the main thread and drains the main queue.
// Main thread only.
#ifndef QUORVEL_PLATFORM_MACOS_MAC_APPLICATION_H_
#define QUORVEL_PLATFORM_MACOS_MAC_APPLICATION_H_

#include <memory>

#include "platform/application.h"

namespace quorvel {

class MacApplication final : public Application {
 public:
  MacApplication();
  ~MacApplication() override;
  MacApplication(const MacApplication&) = delete;
  MacApplication& operator=(const MacApplication&) = delete;

  // Makes an NSApplicationDelegate that forwards to delegate the
  // application's delegate.
  void setDelegate(ApplicationDelegate* delegate) override;
  void setActivationPolicyAccessory() override;
  void activate() override;
  void run() override;

 private:
  // The NSApplicationDelegate object: AppKit holds its delegate weakly, so
  // it is kept alive here.
  struct Forwarder;
  std::unique_ptr<Forwarder> forwarder;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_MACOS_MAC_APPLICATION_H_
