#include "tests/support/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace quorvel {

const std::string youngMan =
    "/usr/share/pocketsphinx/test/data/librivox/"
    "sense_and_sensibility_01_austen_64kb-0880.wav";
const std::string dashwood =
    "/usr/share/pocketsphinx/test/data/librivox/"
    "sense_and_sensibility_01_austen_64kb-0870.wav";

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string temporaryFolder(const char* name) {
  std::string pattern = (fs::temp_directory_path() / name).string() + "-XXXXXX";
  if (!mkdtemp(pattern.data())) abort();
  return pattern;
}

// One validator run for the whole test program, over every line the helper
// wrote: a Python start per helper would slow the stress test down.
std::mutex eventLinesMutex;
std::vector<std::string> eventLines;

class EventSchemaCheck : public ::testing::Environment {
 public:
  void TearDown() override {
    if (eventLines.empty()) return;
    const std::string dir = temporaryFolder("quorvel-events");
    std::ofstream(dir + "/events") << [] {
      std::string all;
      for (const auto& line : eventLines) all += line + '\n';
      return all;
    }();
    ChildProcess validator(
        {QUORVEL_PYTHON, QUORVEL_SOURCE_DIR "/tests/support/validate_events.py",
         QUORVEL_SOURCE_DIR "/schema/quorvel-event.schema.json",
         dir + "/events"},
        {});
    EXPECT_EQ(validator.wait(120), 0) << "event lines the schema refuses:\n"
                                      << validator.err;
    fs::remove_all(dir);
  }
};
[[maybe_unused]] ::testing::Environment* const schemaCheck =
    ::testing::AddGlobalTestEnvironment(new EventSchemaCheck);

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const Environment& env, Stdio stdio)
    : eventStream(argv[0] == QUORVEL_BINARY) {
  int inPipe[2], outPipe[2], errPipe[2];
  if (stdio == Stdio::NonBlockingSocket) {
    int pair[2];  // [0] ours, [1] the child's
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) abort();
    fcntl(pair[1], F_SETFL, fcntl(pair[1], F_GETFL) | O_NONBLOCK);
    inPipe[0] = pair[1];
    inPipe[1] = pair[0];
    outPipe[0] = fcntl(pair[0], F_DUPFD_CLOEXEC, 0);
    outPipe[1] = fcntl(pair[1], F_DUPFD_CLOEXEC, 0);
  } else if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) {
    abort();
  }
  if (pipe2(errPipe, O_CLOEXEC) != 0) abort();
  pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(inPipe[0], 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    for (const auto& [name, value] : env) {
      value.empty() ? unsetenv(name.c_str())
                    : setenv(name.c_str(), value.c_str(), 1);
    }
    // A test runner may block or ignore signals; a parent would not.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signo : {SIGPIPE, SIGTERM, SIGINT}) ::signal(signo, SIG_DFL);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  setpgid(pid, pid);
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  in = inPipe[1];
  out = outPipe[0];
  errFd = errPipe[0];
  ::signal(SIGPIPE, SIG_IGN);  // a child that has gone must not kill us
}

ChildProcess::~ChildProcess() {
  if (eventStream) {
    std::lock_guard<std::mutex> lock(eventLinesMutex);
    eventLines.insert(eventLines.end(), lines.begin(), lines.end());
  }
  kill(-pid, SIGKILL);
  if (!status) waitpid(pid, nullptr, 0);
  for (int fd : {in, out, errFd}) {
    if (fd >= 0) close(fd);
  }
}

bool ChildProcess::pump(double timeoutSeconds) {
  if (out < 0 && errFd < 0) return false;
  pollfd fds[2] = {{out, POLLIN, 0}, {errFd, POLLIN, 0}};
  if (poll(fds, 2, static_cast<int>(timeoutSeconds * 1000)) <= 0) return true;
  char chunk[65536];
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || !fds[i].revents) continue;
    const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
    if (n <= 0) {
      close(fds[i].fd);
      (i == 0 ? out : errFd) = -1;
    } else if (i == 1) {
      err.append(chunk, n);
    } else {
      partialOut.append(chunk, n);
      for (size_t end; (end = partialOut.find('\n')) != std::string::npos;) {
        lines.push_back(partialOut.substr(0, end));
        partialOut.erase(0, end + 1);
      }
    }
  }
  return true;
}

std::optional<std::string> ChildProcess::waitForLine(const std::string& text,
                                                     double timeoutSeconds) {
  const auto start = Clock::now();
  while (true) {
    for (; scanned < lines.size(); ++scanned) {
      if (lines[scanned].find(text) != std::string::npos)
        return lines[scanned++];
    }
    const double left = timeoutSeconds - secondsSince(start);
    if (left <= 0 || out < 0 || !pump(std::min(left, 0.1))) return std::nullopt;
  }
}

void ChildProcess::write(const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(in, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += n;
  }
}

void ChildProcess::closeInput() {
  // On a socket that also carries the output, only a shutdown ends input.
  shutdown(in, SHUT_WR);
  close(in);
  in = -1;
}

void ChildProcess::closeOutput() {
  close(out);
  out = -1;
}

void ChildProcess::setOutputPipeSize(int bytes) {
  fcntl(out, F_SETPIPE_SZ, bytes);
}

void ChildProcess::signal(int signo) { kill(-pid, signo); }

int ChildProcess::wait(double timeoutSeconds) {
  const auto start = Clock::now();
  while (!status) {
    int raw = 0;
    if (waitpid(pid, &raw, WNOHANG) == pid) {
      status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    } else if (secondsSince(start) > timeoutSeconds) {
      kill(-pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      status = -1;
    } else if (!pump(0.05)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  // The outputs end once every process holding them has gone.
  while (pump(0.5) && secondsSince(start) < timeoutSeconds + 5) {
  }
  if (!partialOut.empty()) lines.push_back(partialOut), partialOut.clear();
  return *status;
}

Sandbox::Sandbox(const std::string& recording)
    : dir(temporaryFolder("quorvel-sandbox")) {
  std::ofstream(dir + "/privacy")
      << "speech=authorized\nmicrophone=authorized\n";
  env = {{"QUORVEL_PRIVACY_FILE", dir + "/privacy"},
         {"QUORVEL_AUDIO_INPUT", recording},
         {"LANGUAGE", "en_US"},
         {"LC_ALL", ""},
         {"LANG", "C.UTF-8"},
         {"QUORVEL_MODEL_DIR", ""},
         {"PULSE_SERVER", "unix:" + dir + "/no-server"}};
}

Sandbox::~Sandbox() { fs::remove_all(dir); }

std::unique_ptr<ChildProcess> Sandbox::launch(std::vector<std::string> args,
                                              ChildProcess::Stdio stdio) {
  args.insert(args.begin(), QUORVEL_BINARY);
  return std::make_unique<ChildProcess>(args, env, stdio);
}

void Sandbox::run(const Steps& steps) {
  forEachStep(steps, [&](std::string step) {
    for (size_t at; (at = step.find("{dir}")) != std::string::npos;)
      step.replace(at, 5, dir);
    const size_t space = std::min(step.find(' '), step.size());
    const std::string verb = step.substr(0, space);
    std::string rest = space < step.size() ? step.substr(space + 1) : "";
    std::vector<std::string> words;
    std::istringstream split(rest);
    for (std::string word; split >> word;) words.push_back(word);
    const auto lines = [&] { return quorvel ? quorvel->lines : Lines{}; };
    if (verb == "store") {
      std::ofstream(dir + "/privacy") << rest;
    } else if (verb == "env") {
      env[rest.substr(0, rest.find('='))] = rest.substr(rest.find('=') + 1);
    } else if (verb == "fifo") {
      ASSERT_EQ(mkfifo((dir + "/" + rest).c_str(), 0600), 0);
    } else if (verb == "launch") {
      const bool socket = !words.empty() && words[0] == "socket";
      if (socket) words.erase(words.begin());
      quorvel = launch(words, socket ? ChildProcess::Stdio::NonBlockingSocket
                                     : ChildProcess::Stdio::Pipes);
    } else if (verb == "wait") {
      ASSERT_TRUE(quorvel->waitForLine(rest, 30)) << quorvel->err;
    } else if (verb == "heard") {
      const auto final = quorvel->waitForLine("{\"type\":\"final\"", 30);
      ASSERT_TRUE(final) << quorvel->err;
      EXPECT_NE(final->find(rest), std::string::npos) << *final;
    } else if (verb == "send") {
      quorvel->write(rest);
    } else if (verb == "close") {
      quorvel->closeInput();
    } else if (verb == "closeout") {
      quorvel->closeOutput();
    } else if (verb == "pipe") {
      quorvel->setOutputPipeSize(std::stoi(rest));
    } else if (verb == "sleep") {
      std::this_thread::sleep_for(
          std::chrono::duration<double>(std::stod(rest)));
    } else if (verb == "signal") {
      quorvel->signal(std::stoi(rest));
    } else if (verb == "exit") {
      EXPECT_EQ(quorvel->wait(words.size() > 1 ? std::stod(words[1]) : 30),
                std::stoi(words[0]))
          << quorvel->err;
    } else if (verb == "last") {
      ASSERT_FALSE(lines().empty());
      EXPECT_TRUE(lines().back().ends_with(rest)) << lines().back();
    } else if (verb == "before") {
      ASSERT_GE(lines().size(), 2u);
      EXPECT_NE(lines().end()[-2].find(rest), std::string::npos)
          << lines().end()[-2];
    } else if (verb == "err") {
      EXPECT_NE(quorvel->err.find(rest), std::string::npos) << quorvel->err;
    } else if (verb == "run") {
      ChildProcess other(words, env);
      EXPECT_EQ(other.wait(), 0) << other.err;
    } else {
      FAIL() << "no such verb";
    }
  });
}

PulseDaemon::PulseDaemon(const std::string& modules)
    : dir(temporaryFolder("quorvel-pulse")) {
  std::ofstream(dir + "/server.pa")
      << "load-module module-native-protocol-unix socket=" << dir
      << "/native auth-anonymous=1\n"
      << modules;
}

PulseDaemon::~PulseDaemon() {
  daemon.reset();
  fs::remove_all(dir);
}

bool PulseDaemon::start() {
  // The killed daemon's socket stays behind; the new one binds anew.
  fs::remove(dir + "/native");
  fs::create_directories(dir + "/home");
  fs::create_directories(dir + "/runtime");
  fs::permissions(dir + "/runtime", fs::perms::owner_all);
  // As root it needs --system=false to run at all.
  daemon = std::make_unique<ChildProcess>(
      std::vector<std::string>{
          "/usr/bin/pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
          "--use-pid-file=no", "--system=false", "--realtime=no",
          "--high-priority=no", "--log-target=file:" + log(), "-F",
          dir + "/server.pa"},
      Environment{{"HOME", dir + "/home"},
                  {"XDG_RUNTIME_DIR", dir + "/runtime"},
                  {"PULSE_RUNTIME_PATH", dir + "/runtime"}});
  const auto start = Clock::now();
  while (secondsSince(start) < 10) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    (dir + "/native").copy(address.sun_path, sizeof address.sun_path - 1);
    const bool up =
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (up) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void PulseDaemon::kill() {
  daemon->signal(SIGKILL);
  daemon->wait(10);
}

Environment PulseDaemon::clientEnv() const {
  // Without a cookie of its own, a client would write one into $HOME.
  return {{"PULSE_SERVER", "unix:" + dir + "/native"},
          {"PULSE_COOKIE", dir + "/cookie"}};
}

}  // namespace quorvel
