// A connection to the PulseAudio server that the environment names
// (PULSE_SERVER, else the default), on a threaded main loop of its own whose
// thread runs the library's callbacks. One main loop for the object's life;
// a context the server has ended is replaced by the next connect(). Owned
// and called by one thread (the main queue's).
#ifndef QUORVEL_PLATFORM_LINUX_AUDIO_PULSE_CONNECTION_H_
#define QUORVEL_PLATFORM_LINUX_AUDIO_PULSE_CONNECTION_H_

#include <pulse/pulseaudio.h>

#include <functional>
#include <mutex>
#include <string>

namespace quorvel {

// A moment on the library's monotonic clock, seconds from now.
pa_usec_t pulseDeadline(double seconds);

class PulseConnection {
 public:
  PulseConnection();
  // Disconnects and stops the main loop's thread. Streams of the context
  // must have been released first.
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  // Connects unless the context is ready, waiting until deadline at most.
  // Never starts a server. Empty on success, else the server's reason
  // ("Connection refused", "Timeout").
  std::string connect(pa_usec_t deadline);
  // Reads the sample spec of the capture source (PULSE_SOURCE, else the
  // server's default), waiting until deadline at most. Empty on success,
  // else a reason ("No such entity"). REQUIRES: connected, no PulseLock.
  std::string sourceSpec(pa_sample_spec& spec, pa_usec_t deadline);

  // Waits until done() holds or deadline passes; false on timeout. done()
  // is evaluated under the PulseLock, after every signal of the loop.
  // REQUIRES: a PulseLock held by the caller.
  bool waitLocked(const std::function<bool()>& done, pa_usec_t deadline);
  // The reason for the context's last failure.
  std::string lastError() const;

  pa_threaded_mainloop* mainloop() const { return loop; }
  pa_context* context() const { return ctx; }
  // Taken by every library callback that touches memory the caller also
  // touches, and by PulseLock after the loop's own lock. ThreadSanitizer
  // cannot see the library's lock; this one orders the same accesses
  // where it can see it. Recursive: some calls report a state change
  // through the callback at once, on the calling thread, which holds it.
  std::recursive_mutex& callbackMutex() { return shared; }

 private:
  friend class PulseLock;
  void dropContext();  // REQUIRES: PulseLock

  pa_threaded_mainloop* loop = nullptr;
  pa_context* ctx = nullptr;
  bool loopRunning = false;

  std::recursive_mutex shared;
  // Guarded by shared: the outcome of the pending source query and wait.
  bool queryDone = false;
  bool queryFound = false;
  pa_sample_spec querySpec{};
  bool waitExpired = false;
};

// Holds the main loop's lock, then the connection's callback mutex, for one
// scope: no library callback runs meanwhile.
class PulseLock {
 public:
  explicit PulseLock(PulseConnection& connection) : connection(connection) {
    pa_threaded_mainloop_lock(connection.loop);
    connection.shared.lock();
  }
  ~PulseLock() {
    connection.shared.unlock();
    pa_threaded_mainloop_unlock(connection.loop);
  }
  PulseLock(const PulseLock&) = delete;
  PulseLock& operator=(const PulseLock&) = delete;

 private:
  PulseConnection& connection;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_AUDIO_PULSE_CONNECTION_H_
