// A private PulseAudio daemon for tests: its own socket, home and runtime
// folders, the modules the test names, and a hard time limit. Stopped,
// with everything it started, when the object goes.
#ifndef QUORVEL_TESTS_SUPPORT_PULSE_DAEMON_H_
#define QUORVEL_TESTS_SUPPORT_PULSE_DAEMON_H_

#include <sys/types.h>

#include <string>

namespace quorvel {

class PulseDaemon {
 public:
  // modules: server.pa lines after the native protocol's, e.g.
  // "load-module module-null-sink sink_name=speech\n".
  explicit PulseDaemon(const std::string& modules);
  ~PulseDaemon();
  PulseDaemon(const PulseDaemon&) = delete;
  PulseDaemon& operator=(const PulseDaemon&) = delete;

  bool running() const { return up; }
  // Kills the daemon at once, as a crash would.
  void kill();
  // Starts it again on the same socket; true once it accepts connections.
  bool restart();
  // The value for PULSE_SERVER.
  std::string server() const { return "unix:" + socket; }
  std::string logPath() const { return folder + "/daemon.log"; }
  // For PULSE_COOKIE: clients would otherwise write one into $HOME.
  std::string cookie() const { return folder + "/cookie"; }

 private:
  void launch();
  void reap();

  std::string folder, socket, script;
  pid_t daemon = 0;
  bool up = false;
};

}  // namespace quorvel

#endif  // QUORVEL_TESTS_SUPPORT_PULSE_DAEMON_H_
