// The application object: an event loop on the main thread that tells its
// delegate once when launching has finished. Used by the process entry.
#ifndef QUORVEL_PLATFORM_APPLICATION_H_
#define QUORVEL_PLATFORM_APPLICATION_H_

namespace quorvel {

class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  // Called once, on the main queue, when the event loop is running.
  virtual void applicationDidFinishLaunching() = 0;
  // A helper with no windows must not end when its last window closes.
  virtual bool applicationShouldTerminateAfterLastWindowClosed() = 0;
};

class Application {
 public:
  virtual ~Application() = default;
  // The application does not own delegate; it must outlive the loop.
  virtual void setDelegate(ApplicationDelegate* delegate) = 0;
  // No Dock icon, no menu bar, no window.
  virtual void setActivationPolicyAccessory() = 0;
  // Brings the application forward, ignoring other applications.
  virtual void activate() = 0;
  // Runs the event loop; returns only if the loop ever ends.
  virtual void run() = 0;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_APPLICATION_H_
