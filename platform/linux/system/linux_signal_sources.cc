#include "platform/linux/system/linux_signal_sources.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace quorvel {

namespace {

// Write end of the self-pipe; -1 until the hub exists.
std::atomic<int> gSignalPipeWrite{-1};

// Runs in signal context: only async-signal-safe calls, errno preserved.
// The write end is non-blocking, so a full pipe drops the byte instead of
// hanging the interrupted thread; those deliveries coalesce.
void forwardSignal(int signo) {
  const int savedErrno = errno;
  const int fd = gSignalPipeWrite.load(std::memory_order_relaxed);
  if (fd >= 0) {
    const unsigned char byte = static_cast<unsigned char>(signo);
    [[maybe_unused]] ssize_t ignored = ::write(fd, &byte, 1);
  }
  errno = savedErrno;
}

// The process-wide side of signal handling: handlers are process-wide, so
// there is one pipe, one signalfd and one watcher thread whatever the
// number of LinuxSignalSources. Never destroyed: the detached watcher uses
// it until the process exits.
//
// A watched signal is blocked on the thread that takes it over (the main
// queue's) and so on every thread that thread starts later; background
// threads block it from their start. The kernel then leaves it pending
// for the signalfd, and no thread is interrupted at all. The handler
// remains for a thread that does not block it (one a library started
// early): it writes to the pipe, which the watcher reads as well.
class SignalHub {
 public:
  static SignalHub& shared() {
    static SignalHub* hub = new SignalHub;
    return *hub;
  }

  uint64_t subscribe(int signo, MainQueue& queue,
                     std::function<void()> handler) {
    std::lock_guard<std::mutex> lock(mutex);
    const uint64_t id = nextId++;
    subscribers[signo].emplace(id, Subscriber{&queue, std::move(handler)});
    if (caught.insert(signo).second) {
      struct sigaction action = {};
      action.sa_handler = forwardSignal;
      action.sa_flags = SA_RESTART;
      sigfillset(&action.sa_mask);
      if (sigaction(signo, &action, nullptr) != 0) {
        std::perror("quorvel: sigaction");
      }
      sigaddset(&signalfdMask, signo);
      signalfd(signalFd, &signalfdMask, 0);
    }
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, signo);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    return id;
  }

  void unsubscribe(int signo, uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex);
    subscribers[signo].erase(id);
  }

 private:
  struct Subscriber {
    MainQueue* queue;
    std::function<void()> handler;
  };

  SignalHub() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      std::perror("quorvel: signal pipe");
      std::abort();
    }
    fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    readFd = fds[0];
    gSignalPipeWrite.store(fds[1]);
    sigemptyset(&signalfdMask);
    signalFd = signalfd(-1, &signalfdMask, SFD_CLOEXEC | SFD_NONBLOCK);
    std::thread([this] { watch(); }).detach();
  }

  void watch() {
    // The watcher only reads; it never takes a delivery itself.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) {
      pollfd ready[2] = {{readFd, POLLIN, 0}, {signalFd, POLLIN, 0}};
      if (::poll(ready, signalFd >= 0 ? 2 : 1, -1) < 0) continue;
      if (ready[0].revents & POLLIN) {
        unsigned char byte;
        if (::read(readFd, &byte, 1) == 1) dispatch(byte);
      }
      if (ready[1].revents & POLLIN) {
        signalfd_siginfo info;
        ssize_t got;
        {
          // Under the mutex that also guards the signalfd's mask changes.
          std::lock_guard<std::mutex> lock(mutex);
          got = ::read(signalFd, &info, sizeof info);
        }
        if (got == sizeof info) dispatch(static_cast<int>(info.ssi_signo));
      }
    }
  }

  void dispatch(int signo) {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& [id, subscriber] : subscribers[signo]) {
      subscriber.queue->async(subscriber.handler);
    }
  }

  std::mutex mutex;
  std::map<int, std::map<uint64_t, Subscriber>> subscribers;  // by mutex
  std::set<int> caught;  // signals whose handler is installed; by mutex
  uint64_t nextId = 0;   // guarded by mutex
  int readFd = -1;
  int signalFd = -1;
  sigset_t signalfdMask;  // the watched signals; by mutex
};

class HubSource : public SignalSource {
 public:
  HubSource(int signo, uint64_t id) : signo(signo), id(id) {}
  ~HubSource() override { SignalHub::shared().unsubscribe(signo, id); }

 private:
  int signo;
  uint64_t id;
};

}  // namespace

std::unique_ptr<SignalSource> LinuxSignalSources::watch(
    int signo, std::function<void()> handler) {
  const uint64_t id =
      SignalHub::shared().subscribe(signo, queue, std::move(handler));
  return std::make_unique<HubSource>(signo, id);
}

}  // namespace quorvel
