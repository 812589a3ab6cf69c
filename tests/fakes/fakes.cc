#include "tests/fakes/fakes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace quorvel {

void FakeMainQueue::advance(double seconds) {
  std::unique_lock<std::mutex> lock(mutex);
  // A little slack, so that 0.8 + 1.1 reaches a deadline of 1.9.
  const double target = clock + seconds + 1e-9;
  while (!exitStatus() && !blocks.empty() &&
         blocks.begin()->first.first <= target) {
    auto node = blocks.extract(blocks.begin());
    clock = std::max(clock.load(), node.key().first);
    lock.unlock();
    node.mapped()();
    lock.lock();
  }
  clock = std::max(clock.load(), target - 1e-9);
}

std::unique_ptr<SpeechRecognizer> FakeSpeechService::make(
    std::optional<Locale> locale) {
  struct Handle : RecognitionTask {
    std::shared_ptr<FakeTask> task;
    void cancel() override { task->cancelled = true; }
  };
  struct Recognizer : SpeechRecognizer {
    FakeSpeechService& service;
    Locale locale;
    Recognizer(FakeSpeechService& service, Locale locale)
        : service(service), locale(locale) {}
    bool isAvailable() override { return locale.available; }
    bool supportsOnDeviceRecognition() override { return true; }
    std::shared_ptr<RecognitionRequest> makeRequest() override {
      return std::make_shared<FakeRequest>();
    }
    std::unique_ptr<RecognitionTask> recognitionTask(
        std::shared_ptr<RecognitionRequest> request,
        ResultHandler handler) override {
      auto handle = std::make_unique<Handle>();
      handle->task = std::make_shared<FakeTask>(FakeTask{
          std::static_pointer_cast<FakeRequest>(request), handler, false});
      service.tasks.push_back(handle->task);
      return handle;
    }
  };
  if (!locale) return nullptr;
  return std::make_unique<Recognizer>(*this, *locale);
}

CapturedOutput::CapturedOutput() {
  std::fflush(nullptr);
  for (int fd : {1, 2}) {
    saved[fd] = dup(fd);
    std::FILE* file = std::tmpfile();
    dup2(fileno(file), fd);
    std::fclose(file);
  }
  realOut = saved[1];
}

CapturedOutput::~CapturedOutput() {
  std::fflush(nullptr);
  realOut = -1;
  for (int fd : {1, 2}) {
    dup2(saved[fd], fd);
    close(saved[fd]);
  }
}

std::vector<std::string> CapturedOutput::take(int fd) {
  std::fflush(nullptr);
  struct stat info;
  fstat(fd, &info);
  std::string text(info.st_size - taken[fd], '\0');
  text.resize(
      std::max<ssize_t>(0, pread(fd, text.data(), text.size(), taken[fd])));
  taken[fd] += text.size();
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\n', start);
    // A record must end with its line feed; show one that does not.
    lines.push_back(end == std::string::npos
                        ? text.substr(start) + "<no line feed>"
                        : text.substr(start, end - start));
    start = std::min(end, text.size()) + 1;
  }
  return lines;
}

}  // namespace quorvel
