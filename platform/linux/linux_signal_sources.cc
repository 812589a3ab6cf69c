#include "platform/linux/linux_signal_sources.h"

#include <fcntl.h>
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
// there is one pipe and one watcher thread whatever the number of
// LinuxSignalSources. Never destroyed: the detached watcher uses it until
// the process exits.
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
    }
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
    std::thread([this] { watch(); }).detach();
  }

  void watch() {
    for (;;) {
      unsigned char byte;
      const ssize_t got = ::read(readFd, &byte, 1);
      if (got < 0 && errno == EINTR) continue;
      if (got != 1) return;  // cannot happen while the write end is open
      std::lock_guard<std::mutex> lock(mutex);
      for (auto& [id, subscriber] : subscribers[byte]) {
        subscriber.queue->async(subscriber.handler);
      }
    }
  }

  std::mutex mutex;
  std::map<int, std::map<uint64_t, Subscriber>> subscribers;  // by mutex
  std::set<int> caught;  // signals whose handler is installed; by mutex
  uint64_t nextId = 0;   // guarded by mutex
  int readFd = -1;
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
