#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/support/event_schema_check.h"

namespace quorvel {
namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::map<std::string, std::string>& env,
                           Stdio stdio)
    : eventStream(argv[0] == QUORVEL_BINARY) {
  int inPipe[2], outPipe[2], errPipe[2];
  if (stdio == Stdio::NonBlockingSocket) {
    // Ours and theirs: [0] is the parent's end, [1] the child's.
    int pair[2];
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
    dup2(inPipe[0], 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    for (const auto& [name, value] : env) {
      if (value.empty()) {
        unsetenv(name.c_str());
      } else {
        setenv(name.c_str(), value.c_str(), 1);
      }
    }
    // A test runner may block or ignore these; the child must start with
    // the defaults a parent would give it.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  in = inPipe[1];
  out = outPipe[0];
  errFd = errPipe[0];
  // Writing to a child that has gone must not kill the test.
  ::signal(SIGPIPE, SIG_IGN);
}

ChildProcess::~ChildProcess() {
  if (eventStream) collectEventLines(lines);
  if (!status) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  for (int fd : {in, out, errFd}) {
    if (fd >= 0) close(fd);
  }
}

bool ChildProcess::pump(double timeoutSeconds) {
  pollfd fds[2] = {{out, POLLIN, 0}, {errFd, POLLIN, 0}};
  if (out < 0 && errFd < 0) return false;
  if (poll(fds, 2, static_cast<int>(timeoutSeconds * 1000)) <= 0) return true;
  char chunk[65536];
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
      continue;
    const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
    if (n <= 0) {
      close(fds[i].fd);
      (i == 0 ? out : errFd) = -1;
      continue;
    }
    if (i == 1) {
      err.append(chunk, n);
      continue;
    }
    partialOut.append(chunk, n);
    for (size_t end; (end = partialOut.find('\n')) != std::string::npos;) {
      lines.push_back(partialOut.substr(0, end));
      partialOut.erase(0, end + 1);
    }
  }
  return true;
}

std::optional<std::string> ChildProcess::waitForLine(const std::string& text,
                                                     double timeoutSeconds) {
  const auto start = std::chrono::steady_clock::now();
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
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(in, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += n;
  }
}

void ChildProcess::closeInput() {
  // On a socket that also carries the output, only a shutdown tells the
  // child its input has ended.
  if (in >= 0) {
    shutdown(in, SHUT_WR);
    close(in);
  }
  in = -1;
}

void ChildProcess::closeOutput() {
  if (out >= 0) close(out);
  out = -1;
}

void ChildProcess::setOutputPipeSize(int bytes) {
  fcntl(out, F_SETPIPE_SZ, bytes);
}

void ChildProcess::signal(int signo) { kill(pid, signo); }

int ChildProcess::wait(double timeoutSeconds) {
  const auto start = std::chrono::steady_clock::now();
  while (!status) {
    int raw = 0;
    if (waitpid(pid, &raw, WNOHANG) == pid) {
      status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      break;
    }
    if (secondsSince(start) > timeoutSeconds) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      status = -1;
      break;
    }
    if (!pump(0.05)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // The outputs end once every process holding them has gone.
  while (pump(0.5) && (out >= 0 || errFd >= 0) &&
         secondsSince(start) < timeoutSeconds + 5) {
  }
  if (!partialOut.empty()) lines.push_back(partialOut), partialOut.clear();
  return *status;
}

int runCommand(const std::vector<std::string>& argv,
               const std::map<std::string, std::string>& env,
               double timeoutSeconds) {
  ChildProcess child(argv, env);
  child.closeInput();
  return child.wait(timeoutSeconds);
}

}  // namespace quorvel
