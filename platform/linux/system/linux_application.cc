#include "platform/linux/system/linux_application.h"

#include "platform/linux/system/linux_main_queue.h"

namespace quorvel {

void LinuxApplication::setDelegate(ApplicationDelegate* newDelegate) {
  delegate = newDelegate;
}

void LinuxApplication::run() {
  ApplicationDelegate* launched = delegate;
  queue.async([launched] {
    if (launched) launched->applicationDidFinishLaunching();
  });
  queue.runForever();
}

}  // namespace quorvel
