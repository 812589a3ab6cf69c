// A connection to the PulseAudio server that the environment names
// (PULSE_SERVER, else the default), on a threaded main loop of its own whose
// thread runs the library's callbacks. Owned and called by one thread.
#ifndef QUORVEL_PLATFORM_LINUX_AUDIO_PULSE_CONNECTION_H_
#define QUORVEL_PLATFORM_LINUX_AUDIO_PULSE_CONNECTION_H_

#include <pulse/pulseaudio.h>

#include <functional>
#include <string>

namespace quorvel {

class PulseConnection {
 public:
  PulseConnection();
  // Disconnects and stops the main loop's thread. Streams of the context
  // must have been released first.
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  // Connects, waiting at most timeoutSeconds. Never starts a server. Empty
  // on success, else the server's reason ("Connection refused").
  std::string connect(double timeoutSeconds);
  // Reads the sample spec of the capture source (PULSE_SOURCE, else the
  // server's default). Empty on success, else a reason ("No such entity").
  // REQUIRES: connected, main loop not locked by the caller.
  std::string sourceSpec(pa_sample_spec& spec, double timeoutSeconds);

  // Waits until done() holds or timeoutSeconds pass; false on timeout.
  // done() is evaluated with the loop locked, after every signal of the
  // loop. REQUIRES: the main loop locked by the caller.
  bool waitLocked(const std::function<bool()>& done, double timeoutSeconds);
  // The reason for the context's last failure.
  std::string lastError() const;

  pa_threaded_mainloop* mainloop() const { return loop; }
  pa_context* context() const { return ctx; }

 private:
  pa_threaded_mainloop* loop = nullptr;
  pa_context* ctx = nullptr;
  bool loopRunning = false;
};

// Holds the main loop's lock for one scope.
class PulseLock {
 public:
  explicit PulseLock(pa_threaded_mainloop* mainloop) : loop(mainloop) {
    pa_threaded_mainloop_lock(loop);
  }
  ~PulseLock() { pa_threaded_mainloop_unlock(loop); }
  PulseLock(const PulseLock&) = delete;
  PulseLock& operator=(const PulseLock&) = delete;

 private:
  pa_threaded_mainloop* loop;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_AUDIO_PULSE_CONNECTION_H_
