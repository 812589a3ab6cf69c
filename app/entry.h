// The process entry: chooses between check mode and agent mode, and the
// application delegate that starts the permission flow. Main thread only.
#ifndef QUORVEL_APP_ENTRY_H_
#define QUORVEL_APP_ENTRY_H_

#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace quorvel {

// Hands over to the permission flow once the event loop runs.
class HelperAppDelegate : public ApplicationDelegate {
 public:
  // platform must outlive the delegate. phrasesFile: see phrasesArgument.
  HelperAppDelegate(Platform& platform, std::optional<std::string> phrasesFile)
      : platform(platform), phrasesFile(std::move(phrasesFile)) {}
  void applicationDidFinishLaunching() override;
  bool applicationShouldTerminateAfterLastWindowClosed() override {
    return false;
  }

 private:
  Platform& platform;
  const std::optional<std::string> phrasesFile;
};

extern std::unique_ptr<HelperAppDelegate> gAppDelegate;

// Writes the one "check" record and exits: status 0 when a recogniser can
// be built, 2 when not, whatever the permissions.
[[noreturn]] void runCheck(Platform& platform);

// The phrase file named by the last "--phrases FILE" of argv (argv[0]
// aside); FILE is the next argument, whatever it is. Absent without one,
// and when the last "--phrases" has nothing after it: missingName.
struct PhrasesArgument {
  std::optional<std::string> file;
  bool missingName = false;
};
PhrasesArgument phrasesArgument(int argc, const char* const* argv);

// "--check" anywhere in argv (argv[0] included, exact match) runs the
// check; otherwise runs the application's event loop as an accessory
// application, listening with the phrase file of phrasesArgument ("quorvel:
// --phrases needs a file name; listening without phrases" on standard
// error when it lacks one). Returns 0 if that loop ever returns.
int runMain(int argc, const char* const* argv, Platform& platform);

}  // namespace quorvel

#endif  // QUORVEL_APP_ENTRY_H_
