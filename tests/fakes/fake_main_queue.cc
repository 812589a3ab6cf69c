#include "tests/fakes/fake_main_queue.h"

namespace quorvel {

void FakeMainQueue::async(std::function<void()> block) {
  std::lock_guard<std::mutex> lock(mutex);
  blocks.emplace(std::make_pair(clock, sequence++), std::move(block));
}

void FakeMainQueue::asyncAfter(double seconds, std::shared_ptr<WorkItem> item) {
  std::lock_guard<std::mutex> lock(mutex);
  blocks.emplace(std::make_pair(clock + seconds, sequence++),
                 [item] { item->perform(); });
}

void FakeMainQueue::exitProcess(int status) {
  async([this, status] {
    std::lock_guard<std::mutex> lock(mutex);
    exited = status;
  });
}

double FakeMainQueue::now() const {
  std::lock_guard<std::mutex> lock(mutex);
  return clock;
}

void FakeMainQueue::advance(double seconds) {
  std::unique_lock<std::mutex> lock(mutex);
  // Small tolerance so that 0.8 + 1.1 reaches a deadline of 1.9.
  const double target = clock + seconds + 1e-9;
  while (!exited && !blocks.empty() && blocks.begin()->first.first <= target) {
    auto node = blocks.extract(blocks.begin());
    if (node.key().first > clock) clock = node.key().first;
    lock.unlock();
    node.mapped()();
    lock.lock();
  }
  if (target - 1e-9 > clock) clock = target - 1e-9;
}

std::optional<int> FakeMainQueue::exitStatus() const {
  std::lock_guard<std::mutex> lock(mutex);
  return exited;
}

size_t FakeMainQueue::pendingCount() const {
  std::lock_guard<std::mutex> lock(mutex);
  return blocks.size();
}

}  // namespace quorvel
