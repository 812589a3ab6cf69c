#include "platform/linux/audio/file_audio_engine.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace quorvel {
namespace {

struct SoundFileCloser {
  void operator()(SNDFILE* file) const { sf_close(file); }
};
using SoundFile = std::unique_ptr<SNDFILE, SoundFileCloser>;

// Opens path for reading if it is a regular file; else -1, with the
// system's reason or "Not a regular file". A FIFO would hold the caller in
// open() until a writer came, and neither it nor a device has an end.
int openRegularFile(const std::string& path, std::string& reason) {
  const int fd =
      ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    reason = std::strerror(errno);
    return -1;
  }
  struct stat info;
  if (fstat(fd, &info) != 0) {
    reason = std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    reason = "Not a regular file";
  } else {
    return fd;  // O_NONBLOCK means nothing to a regular file's reads
  }
  ::close(fd);
  return -1;
}

// Opens path for reading. Empty on success, else a readable reason: the
// system's for a file that cannot be opened at all, libsndfile's for one
// that is no sound file it knows.
std::string openSound(const std::string& path, SoundFile& file, SF_INFO& info) {
  // libsndfile words a missing file as "System error : ...": opening it
  // ourselves gives the plain reason.
  std::string reason;
  const int fd = openRegularFile(path, reason);
  if (fd < 0) return reason;
  info = SF_INFO{};
  // libsndfile closes fd, also when it fails.
  file.reset(sf_open_fd(fd, SFM_READ, &info, /*close_desc=*/SF_TRUE));
  if (!file) return sf_strerror(nullptr);
  if (info.samplerate <= 0 || info.channels <= 0) {
    return "The file holds no sound";
  }
  return {};
}

}  // namespace

// Everything the capture thread owns while one start() lasts; buffers are
// allocated once here, never per buffer.
struct FileAudioEngine::Capture {
  SoundFile file;
  bool seekable = false;
  sf_count_t fileFrames = 0;
  bool fileEnded = false;
  double sampleRate = 0;
  uint32_t channels = 0;
  uint32_t frames = 0;      // per buffer
  sf_count_t position = 0;  // frames of the timeline delivered so far
  Clock::time_point timelineStart;
  std::vector<float> interleaved;  // as read from the file
  std::vector<float> planar;       // channel c at c * frames
  std::vector<const float*> pointers;
};

FileAudioEngine::FileAudioEngine(std::string filePath)
    : path(std::move(filePath)) {}

FileAudioEngine::~FileAudioEngine() { release(); }

AudioEngine::Format FileAudioEngine::inputFormat() {
  {
    std::lock_guard<std::mutex> lock(stopMutex);
    if (capturing) return runningFormat;
  }
  std::string reason;
  const int fd = openRegularFile(path, reason);
  if (fd < 0) return {48000, 1};
  ::close(fd);
  SoundFile file;
  SF_INFO info{};
  if (!openSound(path, file, info).empty()) return {0, 0};
  return {static_cast<double>(info.samplerate),
          static_cast<uint32_t>(info.channels)};
}

void FileAudioEngine::installTap(uint32_t bufferSize, Tap newTap) {
  hold.install(bufferSize, std::move(newTap));
}

void FileAudioEngine::removeTap() { hold.remove(); }

std::string FileAudioEngine::start() {
  if (running) return {};
  {
    std::lock_guard<std::mutex> lock(stopMutex);
    if (capturing) {
      holdEnd.reset();
      hold.resume();
      running = true;
      return {};
    }
  }
  auto run = std::make_unique<Capture>();
  SF_INFO info{};
  if (std::string reason = openSound(path, run->file, info); !reason.empty()) {
    return reason;
  }
  run->seekable = info.seekable != 0;
  run->fileFrames = info.frames;
  run->sampleRate = info.samplerate;
  run->channels = static_cast<uint32_t>(info.channels);
  run->frames = hold.bufferFrames();
  run->interleaved.resize(size_t{run->frames} * run->channels);
  run->planar.resize(run->interleaved.size());
  for (uint32_t c = 0; c < run->channels; ++c) {
    run->pointers.push_back(run->planar.data() + size_t{c} * run->frames);
  }

  const Clock::time_point now = Clock::now();
  if (!timelineStart) timelineStart = now;
  run->timelineStart = *timelineStart;
  run->position = static_cast<sf_count_t>(
      std::floor(std::chrono::duration<double>(now - *timelineStart).count() *
                 run->sampleRate));

  runningFormat = {run->sampleRate, run->channels};
  {
    std::lock_guard<std::mutex> lock(stopMutex);
    stopRequested = false;
    holdEnd.reset();
    capturing = true;
  }
  hold.beginRecording();
  // Detached: it ends on its own once a hold runs out, and the destructor
  // waits for it by `capturing`.
  std::thread([this, run = std::move(run)] { capture(*run); }).detach();
  running = true;
  return {};
}

bool FileAudioEngine::isRunning() const { return running; }

void FileAudioEngine::stop() {
  if (!running) return;
  running = false;
  hold.hold();
  {
    std::lock_guard<std::mutex> lock(stopMutex);
    holdEnd =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(captureHoldSeconds));
  }
  stopWake.notify_all();
}

void FileAudioEngine::release() {
  running = false;
  std::unique_lock<std::mutex> lock(stopMutex);
  stopRequested = true;
  stopWake.notify_all();
  stopWake.wait(lock, [this] { return !capturing; });
}

void FileAudioEngine::capture(Capture& run) {
  // Catch up with the timeline: what played while capture was stopped is
  // not delivered.
  if (run.position >= run.fileFrames) {
    run.fileEnded = true;
  } else if (run.seekable) {
    run.fileEnded = sf_seek(run.file.get(), run.position, SEEK_SET) < 0;
  } else {
    for (sf_count_t skipped = 0; skipped < run.position && !run.fileEnded;) {
      const sf_count_t want =
          std::min<sf_count_t>(run.frames, run.position - skipped);
      const sf_count_t got =
          sf_readf_float(run.file.get(), run.interleaved.data(), want);
      if (got <= 0) run.fileEnded = true;
      skipped += std::max<sf_count_t>(got, 0);
    }
  }

  const AudioBuffer buffer{run.frames, run.pointers, run.sampleRate};
  for (;;) {
    // A buffer is ready once its last frame has played, as from a device.
    const auto due = run.timelineStart +
                     std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(
                             static_cast<double>(run.position + run.frames) /
                             run.sampleRate));
    {
      std::unique_lock<std::mutex> lock(stopMutex);
      // Wakes for a stop, a hold or its end; a start within the hold
      // clears holdEnd and capture goes on.
      for (;;) {
        const Clock::time_point wakeAt =
            holdEnd ? std::min(due, *holdEnd) : due;
        stopWake.wait_until(lock, wakeAt);
        if (stopRequested || (holdEnd && Clock::now() >= *holdEnd)) {
          hold.close();
          capturing = false;
          // Under the lock: once it is released, the engine may be gone.
          stopWake.notify_all();
          return;
        }
        if (Clock::now() >= due) break;
      }
    }
    sf_count_t got = 0;
    if (!run.fileEnded) {
      got = sf_readf_float(run.file.get(), run.interleaved.data(), run.frames);
      if (got < run.frames) run.fileEnded = true;
      got = std::max<sf_count_t>(got, 0);
    }
    for (uint32_t c = 0; c < run.channels; ++c) {
      float* out = run.planar.data() + size_t{c} * run.frames;
      for (uint32_t i = 0; i < run.frames; ++i) {
        out[i] = i < got ? run.interleaved[size_t{i} * run.channels + c] : 0;
      }
    }
    hold.deliver(buffer);
    run.position += run.frames;
  }
}

}  // namespace quorvel
