#include "tests/support/pulse_daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Polls until the daemon accepts connections, for at most ten seconds.
bool waitForSocket(const std::string& path) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    const bool accepted = connect(fd, reinterpret_cast<sockaddr*>(&address),
                                  sizeof(address)) == 0;
    close(fd);
    if (accepted) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace

PulseDaemon::PulseDaemon(const std::string& modules) {
  std::string pattern = (fs::temp_directory_path() / "pulse-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return;
  folder = pattern;
  const fs::path home = fs::path(folder) / "home";
  const fs::path runtime = fs::path(folder) / "runtime";
  fs::create_directories(home);
  fs::create_directories(runtime);
  fs::permissions(runtime, fs::perms::owner_all);
  socket = folder + "/native";
  script = folder + "/server.pa";
  std::ofstream(script) << "load-module module-native-protocol-unix socket="
                        << socket << " auth-anonymous=1\n"
                        << modules;
  launch();
}

void PulseDaemon::launch() {
  const fs::path home = fs::path(folder) / "home";
  const fs::path runtime = fs::path(folder) / "runtime";

  // As root the daemon needs --system=false to run at all; its own home and
  // runtime folders keep it from leaving anything behind, and timeout ends
  // it even if the test dies first.
  std::vector<std::string> args = {"timeout",
                                   "-s",
                                   "KILL",
                                   "300",
                                   "pulseaudio",
                                   "-n",
                                   "--daemonize=no",
                                   "--exit-idle-time=-1",
                                   "--use-pid-file=no",
                                   "--system=false",
                                   "--realtime=no",
                                   "--high-priority=no",
                                   "--log-target=stderr",
                                   "-F",
                                   script};
  std::vector<std::string> env = {
      "HOME=" + home.string(), "XDG_RUNTIME_DIR=" + runtime.string(),
      "PULSE_RUNTIME_PATH=" + runtime.string(), "PATH=/usr/bin:/bin"};
  std::vector<char*> argv, envp;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  for (std::string& var : env) envp.push_back(var.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string log = logPath();
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A group of its own, so that teardown reaches timeout and the daemon.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  const int spawned = posix_spawnp(&daemon, "timeout", &actions, &attributes,
                                   argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) daemon = 0;
  up = spawned == 0 && waitForSocket(socket);
}

void PulseDaemon::kill() {
  if (daemon <= 0) return;
  ::kill(-daemon, SIGKILL);
  reap();
}

bool PulseDaemon::restart() {
  kill();
  // The killed daemon leaves its socket behind; the new one binds anew.
  fs::remove(socket);
  launch();
  return up;
}

void PulseDaemon::reap() {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (waitpid(daemon, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      ::kill(-daemon, SIGKILL);
      waitpid(daemon, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(-daemon, SIGKILL);  // anything left of the group
  daemon = 0;
  up = false;
}

PulseDaemon::~PulseDaemon() {
  if (daemon > 0) {
    ::kill(-daemon, SIGTERM);
    reap();
  }
  if (!folder.empty()) fs::remove_all(folder);
}

}  // namespace quorvel
