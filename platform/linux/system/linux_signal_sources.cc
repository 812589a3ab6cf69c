#include "platform/linux/system/linux_signal_sources.h"

#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

namespace quorvel {

namespace {

// Deliveries that reached the handler and wait for the watcher, by signal
// number, and the semaphore that wakes it. Neither needs a descriptor, so
// this path works when the process has none left to give.
std::atomic<bool> gDelivered[NSIG];
sem_t gDeliveryWake;

// Runs in signal context: only async-signal-safe calls (sem_post is one,
// lock-free atomics too), errno preserved.
void forwardSignal(int signo) {
  const int savedErrno = errno;
  if (signo > 0 && signo < NSIG) {
    gDelivered[signo].store(true, std::memory_order_release);
    sem_post(&gDeliveryWake);
  }
  errno = savedErrno;
}

// The process-wide side of signal handling: handlers are process-wide, so
// there is one signalfd and one pair of watcher threads whatever the number
// of LinuxSignalSources. Never destroyed: the detached watchers use it
// until the process exits.
//
// A watched signal is blocked on the thread that takes it over (the main
// queue's) and so on every thread that thread starts later; background
// threads block it from their start. The kernel then leaves it pending
// for the signalfd, and no thread is interrupted at all. The handler
// remains for a thread that does not block it (one a library started
// early): it marks the delivery and wakes the handler watcher.
//
// When no signalfd can be made (the descriptor table is full), a blocked
// signal would stay pending for ever. The handler watcher then takes the
// deliveries itself: it alone leaves every signal unblocked, so the
// kernel hands it each watched signal, and it sleeps where a signal can
// interrupt it.
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
      if (signalFd >= 0) signalfd(signalFd, &signalfdMask, 0);
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
    sem_init(&gDeliveryWake, /*pshared=*/0, 0);
    sigemptyset(&signalfdMask);
    signalFd = signalfd(-1, &signalfdMask, SFD_CLOEXEC | SFD_NONBLOCK);
    std::thread([this] { watchHandler(); }).detach();
    if (signalFd >= 0) std::thread([this] { watchSignalfd(); }).detach();
  }

  void watchHandler() {
    sigset_t mask;
    if (signalFd >= 0) {
      // Deliveries belong to the signalfd; this thread only forwards
      // those that a stray thread's handler took.
      sigfillset(&mask);
    } else {
      sigemptyset(&mask);
    }
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    for (;;) {
      // Interrupted by the handler itself (EINTR) or woken by its post:
      // either way, look at every signal.
      sem_wait(&gDeliveryWake);
      for (int signo = 1; signo < NSIG; ++signo) {
        if (gDelivered[signo].exchange(false, std::memory_order_acquire)) {
          dispatch(signo);
        }
      }
    }
  }

  void watchSignalfd() {
    // The watcher only reads; it never takes a delivery itself.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) {
      pollfd ready = {signalFd, POLLIN, 0};
      if (::poll(&ready, 1, -1) < 0 || !(ready.revents & POLLIN)) continue;
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

  void dispatch(int signo) {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& [id, subscriber] : subscribers[signo]) {
      subscriber.queue->async(subscriber.handler);
    }
  }

  std::mutex mutex;
  std::map<int, std::map<uint64_t, Subscriber>> subscribers;  // by mutex
  std::set<int> caught;   // signals whose handler is installed; by mutex
  uint64_t nextId = 0;    // guarded by mutex
  int signalFd = -1;      // -1 when none could be made; set before watching
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
