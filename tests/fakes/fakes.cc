#include "tests/fakes/fakes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace quorvel {

void FakeMainQueue::add(double delay, std::function<void()> block) {
  std::lock_guard<std::mutex> lock(mutex);
  blocks.emplace(std::make_pair(clock + delay, sequence++), std::move(block));
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

std::optional<int> FakeMainQueue::exitStatus() const {
  std::lock_guard<std::mutex> lock(mutex);
  return exited;
}

void FakeMainQueue::advance(double seconds) {
  std::unique_lock<std::mutex> lock(mutex);
  // A little slack, so that 0.8 + 1.1 reaches a deadline of 1.9.
  const double target = clock + seconds + 1e-9;
  while (!exited && !blocks.empty() && blocks.begin()->first.first <= target) {
    auto node = blocks.extract(blocks.begin());
    clock = std::max(clock, node.key().first);
    lock.unlock();
    node.mapped()();
    lock.lock();
  }
  clock = std::max(clock, target - 1e-9);
}

void FakeAudioEngine::installTap(uint32_t bufferSize, Tap newTap) {
  std::lock_guard<std::mutex> lock(tapMutex);
  if (newTap) requestedBufferSize = bufferSize;
  tap = std::move(newTap);
}

std::string FakeAudioEngine::start() {
  running = startError.empty();
  return startError;
}

bool FakeAudioEngine::deliver(const std::vector<float>& samples, int channels,
                              std::optional<uint32_t> framesWithoutFloats) {
  std::vector<const float*> pointers(framesWithoutFloats ? 0 : channels,
                                     samples.data());
  std::lock_guard<std::mutex> lock(tapMutex);
  if (!tap) return false;
  tap({framesWithoutFloats.value_or(static_cast<uint32_t>(samples.size())),
       pointers, format.sampleRate});
  return true;
}

void FakeAudioEngine::fail(const std::string& reason) {
  running = false;
  if (failureHandler) failureHandler(reason);
}

bool FakeAudioEngine::hasTap() {
  std::lock_guard<std::mutex> lock(tapMutex);
  return static_cast<bool>(tap);
}

namespace {

class FakeRecognizer : public SpeechRecognizer {
 public:
  FakeRecognizer(FakeSpeechService& service, FakeSpeechService::Locale locale)
      : service(service), locale(locale) {}
  bool isAvailable() override { return locale.available; }
  bool supportsOnDeviceRecognition() override { return true; }
  std::shared_ptr<RecognitionRequest> makeRequest() override {
    return std::make_shared<FakeRequest>();
  }
  std::unique_ptr<RecognitionTask> recognitionTask(
      std::shared_ptr<RecognitionRequest> request,
      ResultHandler handler) override {
    auto task = std::make_shared<FakeTask>();
    task->request = std::static_pointer_cast<FakeRequest>(request);
    task->handler = std::move(handler);
    service.tasks.push_back(task);
    struct Handle : RecognitionTask {
      std::shared_ptr<FakeTask> task;
      void cancel() override { task->cancel(); }
    };
    auto handle = std::make_unique<Handle>();
    handle->task = task;
    return handle;
  }

 private:
  FakeSpeechService& service;
  FakeSpeechService::Locale locale;
};

}  // namespace

std::unique_ptr<SpeechRecognizer> FakeSpeechService::recognizer(
    const std::string& id) {
  probes.push_back(id);
  if (!locales.contains(id)) return nullptr;
  return std::make_unique<FakeRecognizer>(*this, locales.at(id));
}

std::unique_ptr<SpeechRecognizer> FakeSpeechService::defaultRecognizer() {
  if (!defaultLocale) return nullptr;
  return std::make_unique<FakeRecognizer>(*this, *defaultLocale);
}

std::unique_ptr<AudioEngine> FakePlatform::makeEngine() {
  auto made = std::make_unique<FakeAudioEngine>();
  made->format = engineFormat;
  engines.push_back(made.get());
  return made;
}

CapturedOutput::CapturedOutput(bool errorsToo) : fds{1} {
  if (errorsToo) fds.push_back(2);
  std::fflush(nullptr);
  for (int fd : fds) {
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
  for (int fd : fds) {
    dup2(saved[fd], fd);
    close(saved[fd]);
  }
}

std::vector<std::string> CapturedOutput::take(int fd) {
  std::fflush(nullptr);
  struct stat info;
  fstat(fd, &info);
  std::string text(static_cast<size_t>(info.st_size) - taken[fd], '\0');
  text.resize(std::max<ssize_t>(
      0, pread(fd, text.data(), text.size(), static_cast<off_t>(taken[fd]))));
  taken[fd] += text.size();
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    // A record must end with its line feed; show one that does not.
    if (end == std::string::npos) {
      lines.push_back(text.substr(start) + "<no line feed>");
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

void CapturedOutput::clear() {
  std::fflush(nullptr);
  for (int fd : fds) {
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) std::abort();
    taken[fd] = 0;
  }
}

}  // namespace quorvel
