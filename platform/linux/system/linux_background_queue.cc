#include "platform/linux/system/linux_background_queue.h"

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

namespace quorvel {

void LinuxBackgroundQueue::async(std::function<void()> block) {
  std::thread([block = std::move(block)] {
    // The stop signals belong to the main queue's signal sources; a thread
    // parked in a blocking read must never be the one they interrupt.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    block();
  }).detach();
}

}  // namespace quorvel
