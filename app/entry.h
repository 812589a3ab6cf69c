// The process entry: chooses between check mode and agent mode, and the
// application delegate that starts the permission flow. Main thread only.
#ifndef QUORVEL_APP_ENTRY_H_
#define QUORVEL_APP_ENTRY_H_

#include <memory>

#include "platform/platform.h"

namespace quorvel {

// Hands over to the permission flow once the event loop runs.
class HelperAppDelegate : public ApplicationDelegate {
 public:
  // platform must outlive the delegate.
  explicit HelperAppDelegate(Platform& platform) : platform(platform) {}
  void applicationDidFinishLaunching() override;
  bool applicationShouldTerminateAfterLastWindowClosed() override {
    return false;
  }

 private:
  Platform& platform;
};

extern std::unique_ptr<HelperAppDelegate> gAppDelegate;

// Writes the one "check" record and exits: status 0 when a recogniser can
// be built, 2 when not, whatever the permissions.
[[noreturn]] void runCheck(Platform& platform);

// "--check" anywhere in argv (argv[0] included, exact match) runs the
// check; otherwise runs the application's event loop as an accessory
// application. Returns 0 if that loop ever returns.
int runMain(int argc, const char* const* argv, Platform& platform);

}  // namespace quorvel

#endif  // QUORVEL_APP_ENTRY_H_
