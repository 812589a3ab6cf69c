#include "tests/support/process.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

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

// A deadline a test sets is for the plain build: the sanitizer builds run
// the same programs (loading a model, say) several times slower.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double slowdown = 3;
#else
constexpr double slowdown = 1;
#endif

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string temporaryFolder() {
  std::string pattern = fs::temp_directory_path() / "quorvel-XXXXXX";
  if (!mkdtemp(pattern.data())) abort();
  return pattern;
}

// One validator run over every line quorvel wrote, when the test program
// ends: a Python start per launch would slow the stress test down.
std::mutex eventLinesMutex;
std::string eventLines;

struct EventSchemaCheck : ::testing::Environment {
  void TearDown() override {
    if (eventLines.empty()) return;
    const std::string dir = temporaryFolder();
    std::ofstream(dir + "/events") << eventLines;
    ChildProcess validator(
        {QUORVEL_PYTHON, QUORVEL_SOURCE_DIR "/tests/support/validate_events.py",
         QUORVEL_SOURCE_DIR "/schema/quorvel-event.schema.json",
         dir + "/events"},
        {});
    EXPECT_EQ(validator.wait(120), 0) << "lines the schema refuses:\n"
                                      << validator.err;
    fs::remove_all(dir);
  }
};
[[maybe_unused]] auto* const schemaCheck =
    ::testing::AddGlobalTestEnvironment(new EventSchemaCheck);

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const Environment& env, bool socket)
    : events(argv[0] == QUORVEL_BINARY) {
  int input[2], output[2], error[2];
  if (socket) {
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input);
    fcntl(input[0], F_SETFL, O_NONBLOCK);  // the child's end
    output[0] = fcntl(input[1], F_DUPFD_CLOEXEC, 0);
    output[1] = fcntl(input[0], F_DUPFD_CLOEXEC, 0);
  } else if (pipe2(input, O_CLOEXEC) || pipe2(output, O_CLOEXEC)) {
    abort();
  }
  if (pipe2(error, O_CLOEXEC)) abort();
  pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(input[0], 0);
    dup2(output[1], 1);
    dup2(error[1], 2);
    for (const auto& [name, value] : env) {
      value.empty() ? unsetenv(name.c_str())
                    : setenv(name.c_str(), value.c_str(), 1);
    }
    // A test runner may block or ignore signals; a parent would not.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signo : {SIGPIPE, SIGTERM, SIGINT}) signal(signo, SIG_DFL);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  setpgid(pid, pid);
  close(input[0]);
  close(output[1]);
  close(error[1]);
  in = input[1];
  out = output[0];
  errFd = error[0];
  signal(SIGPIPE, SIG_IGN);  // a child that has gone must not kill us
}

ChildProcess::~ChildProcess() {
  kill(-pid, SIGKILL);
  if (!status) waitpid(pid, nullptr, 0);
  for (int fd : {in, out, errFd}) close(fd);
  std::lock_guard<std::mutex> lock(eventLinesMutex);
  for (const auto& line : lines) eventLines += events ? line + "\n" : "";
}

bool ChildProcess::pump(double timeoutSeconds) {
  pollfd fds[2] = {{out, POLLIN, 0}, {errFd, POLLIN, 0}};
  if (out < 0 && errFd < 0) return false;
  if (poll(fds, 2, timeoutSeconds * 1000) <= 0) return true;
  char chunk[65536];
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || !fds[i].revents) continue;
    const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
    if (n <= 0) {
      close(std::exchange(i ? errFd : out, -1));
    } else if (i == 1) {
      err.append(chunk, n);
    } else {
      partialOut.append(chunk, n);
      for (size_t end; (end = partialOut.find('\n')) != std::string::npos;) {
        lines.push_back(partialOut.substr(0, end));
        arrivals.push_back(since(Clock::time_point()));
        partialOut.erase(0, end + 1);
      }
    }
  }
  return true;
}

std::optional<std::string> ChildProcess::waitForLine(const std::string& text,
                                                     double timeoutSeconds) {
  for (const auto start = Clock::now();;) {
    for (; scanned < lines.size(); ++scanned) {
      if (lines[scanned].find(text) != std::string::npos)
        return lines[scanned++];
    }
    const double left = timeoutSeconds - since(start);
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
  close(std::exchange(in, -1));
}

int ChildProcess::wait(double timeoutSeconds) {
  const auto start = Clock::now();
  while (!status) {
    int raw = 0;
    if (waitpid(pid, &raw, WNOHANG) == pid) {
      status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    } else if (since(start) > timeoutSeconds) {
      kill(-pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      status = -1;
    } else {
      pump(0.05);
    }
  }
  // The outputs end once every process holding them has gone.
  while (pump(0.5) && since(start) < timeoutSeconds + 5) {
  }
  if (!partialOut.empty()) {
    lines.push_back(std::exchange(partialOut, ""));
    arrivals.push_back(since(Clock::time_point()));
  }
  return *status;
}

Sandbox::Sandbox(const std::string& recording) : dir(temporaryFolder()) {
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

Sandbox::~Sandbox() {
  quorvel.reset();
  fs::remove_all(dir);
}

void Sandbox::run(const Steps& steps) {
  forEachStep(steps, [&](std::string step) {
    for (size_t at; (at = step.find("{dir}")) != std::string::npos;)
      step.replace(at, 5, dir);
    const size_t space = std::min(step.find(' '), step.size());
    const std::string verb = step.substr(0, space);
    const std::string rest = step.substr(std::min(space + 1, step.size()));
    std::vector<std::string> words;
    std::istringstream split(rest);
    for (std::string word; split >> word;) words.push_back(word);
    const auto& lines = quorvel ? quorvel->lines : words;
    if (verb == "store") {
      std::ofstream(dir + "/privacy") << rest;
    } else if (verb == "env") {
      env[rest.substr(0, rest.find('='))] = rest.substr(rest.find('=') + 1);
    } else if (verb == "fifo") {
      ASSERT_EQ(mkfifo((dir + "/" + rest).c_str(), 0600), 0);
    } else if (verb == "launch") {
      const bool socket = !words.empty() && words[0] == "socket";
      words.insert(words.erase(words.begin(), words.begin() + socket),
                   QUORVEL_BINARY);
      quorvel = std::make_unique<ChildProcess>(words, env, socket);
    } else if (verb == "wait" || verb == "heard") {
      const auto line =
          quorvel->waitForLine(verb == "wait" ? rest : "\"final\"");
      ASSERT_TRUE(line) << quorvel->err;
      EXPECT_NE(line->find(rest), std::string::npos) << *line;
    } else if (verb == "send") {
      quorvel->write(rest);
    } else if (verb == "close") {
      quorvel->closeInput();
    } else if (verb == "closeout") {
      close(std::exchange(quorvel->out, -1));
    } else if (verb == "sleep") {
      std::this_thread::sleep_for(
          std::chrono::duration<double>(std::stod(rest)));
    } else if (verb == "signal") {
      kill(-quorvel->pid, std::stoi(rest));
    } else if (verb == "exit") {
      EXPECT_EQ(
          quorvel->wait(words.size() > 1 ? std::stod(words[1]) * slowdown : 30),
          std::stoi(words[0]))
          << quorvel->err;
    } else if (verb == "last" || verb == "before") {
      const size_t back = verb == "last" ? 1 : 2;
      ASSERT_GE(lines.size(), back);
      const std::string& line = lines.end()[-back];
      const std::string pattern = "*" + rest + (verb == "last" ? "" : "*");
      EXPECT_EQ(fnmatch(pattern.c_str(), line.c_str(), FNM_NOESCAPE), 0)
          << line;
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

PulseDaemon::PulseDaemon(const std::string& modules) : dir(temporaryFolder()) {
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
  // A killed daemon's socket stays behind; the new one binds anew.
  fs::remove(dir + "/native");
  fs::create_directories(dir + "/home");
  fs::create_directories(dir + "/runtime");
  fs::permissions(dir + "/runtime", fs::perms::owner_all);
  // As root it needs --system=false to run at all.
  daemon = std::make_unique<ChildProcess>(
      std::vector<std::string>{
          "/usr/bin/pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
          "--use-pid-file=no", "--system=false", "--realtime=no",
          "--high-priority=no", "--log-target=file:" + dir + "/daemon.log",
          "-F", dir + "/server.pa"},
      Environment{{"HOME", dir + "/home"},
                  {"XDG_RUNTIME_DIR", dir + "/runtime"},
                  {"PULSE_RUNTIME_PATH", dir + "/runtime"}});
  sockaddr_un address{AF_UNIX, {}};
  (dir + "/native").copy(address.sun_path, sizeof address.sun_path - 1);
  for (const auto start = Clock::now(); since(start) < 10;) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool up = connect(fd, (sockaddr*)&address, sizeof address) == 0;
    close(fd);
    if (up) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

Environment PulseDaemon::clientEnv() const {
  // Without a cookie of its own, a client would write one into $HOME.
  return {{"PULSE_SERVER", "unix:" + dir + "/native"},
          {"PULSE_COOKIE", dir + "/cookie"}};
}

}  // namespace quorvel
