// Drives one ContinuousListener through an arbitrary sequence of results,
// errors, audio buffers, pauses, resumes, stops and passing time (all
// virtual), and checks the event stream it writes after every step:
// every line a JSON record of a known kind; at most one "final" per
// segment (segments begin with "listening"); "final" and "partial" texts
// non-empty and trimmed; no "partial" canonically equal to the one before
// it in the segment (a "final" starts the text afresh); "level" only while
// capturing, within 0..1; nothing after "stopped", and "stopped" within
// 1.6 s of the first stop; an exit only after "stopped", with status 0.
//
// Results reach the task the listener runs. A task that the listener has
// just cancelled may still deliver what it had under way before it
// learned of the cancel, as the Linux recogniser's queued deliveries do,
// but only until the next step and never after its last result.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "listener/continuous_listener.h"
#include "tests/fakes/fake_audio.h"
#include "tests/fakes/fake_main_queue.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/fake_speech.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/reference_text.h"

namespace quorvel {
namespace {

constexpr std::array<std::string_view, 16> textPieces = {
    // words
    "turn", "left", "a",
    // trimmed at the ends: space, line feed, tab, U+3000, U+00A0, U+0085,
    // U+2028
    " ", "\n", "\t", "\xE3\x80\x80", "\xC2\xA0", "\xC2\x85", "\xE2\x80\xA8",
    // escaped by the writer
    "/", "\"", "\\", "\x01",
    // "é" with a combining accent and precomposed
    "e\xCC\x81", "\xC3\xA9"};

struct ErrorKind {
  std::string_view domain;
  int64_t code;
};
// The four codes the listener ignores, other codes of their domain, and
// one of them in another domain.
constexpr std::array<ErrorKind, 8> errorKinds = {{
    {"kAFAssistantErrorDomain", 216},
    {"kAFAssistantErrorDomain", 203},
    {"kAFAssistantErrorDomain", 209},
    {"kAFAssistantErrorDomain", 1110},
    {"kAFAssistantErrorDomain", 1101},
    {"kAFAssistantErrorDomain", 1},
    {"NSURLErrorDomain", 1110},
    {"kLSRErrorDomain", 301},
}};

// The listener's own delays and a few neighbours, to land on deadlines.
constexpr std::array<double, 10> notableSeconds = {
    0.0, 0.08, 0.35, 1.1, 1.6, 12.0, 0.75, 1.45, 11.65, 0.05};

// Peaks around the level that counts as voice (0.12 / 4) and the cap
// (0.25), and samples that are not finite.
constexpr std::array<float, 10> amplitudes = {
    0.0f, 0.01f, 0.03f, 0.0301f, 0.25f, 1.0f, -1.0f, -0.5f,
    // not finite
    std::numeric_limits<float>::quiet_NaN(),
    std::numeric_limits<float>::infinity()};

constexpr double stopFlushSeconds = 1.6;

// Standard output is a memory file, read back after every step.
class OutputCapture {
 public:
  OutputCapture() {
    const int fd = memfd_create("listener-events", 0);
    if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) propertyBroken("no memfd");
    close(fd);
  }
  void reset() {
    if (ftruncate(STDOUT_FILENO, 0) != 0) propertyBroken("ftruncate failed");
    lseek(STDOUT_FILENO, 0, SEEK_SET);
    taken = 0;
  }
  // The lines written since the previous call.
  std::vector<std::string> newLines() {
    struct stat info;
    fstat(STDOUT_FILENO, &info);
    std::string text(static_cast<size_t>(info.st_size) - taken, '\0');
    if (pread(STDOUT_FILENO, text.data(), text.size(),
              static_cast<off_t>(taken)) != static_cast<ssize_t>(text.size())) {
      propertyBroken("short read of the output");
    }
    taken += text.size();
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
      const size_t feed = text.find('\n', start);
      if (feed == std::string::npos) propertyBroken("a line without line feed");
      lines.push_back(text.substr(start, feed - start));
      start = feed + 1;
    }
    return lines;
  }

 private:
  size_t taken = 0;
};

OutputCapture* output = nullptr;

class StreamChecker {
 public:
  void check(const std::string& line) {
    const auto record =
        nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (!record.is_object() || !record.contains("type") ||
        !record.at("type").is_string()) {
      propertyBroken("not a record", line);
    }
    if (stopped) propertyBroken("a record after \"stopped\"", line);
    const std::string type = record.at("type");
    if (type == "listening") {
      expectKeys(record, 1, line);
      finals = 0;
      previousPartial.reset();
      capturing = true;
    } else if (type == "level") {
      expectKeys(record, 2, line);
      if (!capturing) propertyBroken("\"level\" while not capturing", line);
      const auto& rms = field(record, "rms", line);
      if (!rms.is_number() || !(rms.get<double>() >= 0.0) ||
          rms.get<double>() > 1.0) {
        propertyBroken("\"rms\" outside 0..1", line);
      }
    } else if (type == "partial") {
      expectKeys(record, 2, line);
      const std::string text = checkedText(record, line);
      if (previousPartial &&
          referenceCanonicallyEqual(*previousPartial, text)) {
        propertyBroken("\"partial\" repeats the one before it", line);
      }
      previousPartial = text;
    } else if (type == "final") {
      expectKeys(record, 3, line);
      checkedText(record, line);
      static const std::array<std::string_view, 5> reasons = {
          "isFinal", "silence", "max-segment", "error-with-partial", "stop"};
      const auto& reason = field(record, "reason", line);
      if (!reason.is_string() ||
          std::find(reasons.begin(), reasons.end(),
                    reason.get<std::string>()) == reasons.end()) {
        propertyBroken("unknown \"final\" reason", line);
      }
      if (++finals > 1) propertyBroken("a second \"final\" in a segment", line);
      previousPartial.reset();
      capturing = false;
    } else if (type == "error") {
      expectKeys(record, 3, line);
      if (!field(record, "message", line).is_string() ||
          field(record, "fatal", line) != false) {
        propertyBroken("not a recoverable error record", line);
      }
      capturing = false;
    } else if (type == "paused") {
      expectKeys(record, 1, line);
      capturing = false;
    } else if (type == "stopped") {
      expectKeys(record, 1, line);
      stopped = true;
      capturing = false;
    } else {
      propertyBroken("unexpected record", line);
    }
  }

  bool stopped = false;

 private:
  static void expectKeys(const nlohmann::json& record, size_t count,
                         const std::string& line) {
    if (record.size() != count) propertyBroken("unexpected keys", line);
  }
  static const nlohmann::json& field(const nlohmann::json& record,
                                     const char* key, const std::string& line) {
    const auto found = record.find(key);
    if (found == record.end()) propertyBroken("a key is missing", line);
    return *found;
  }
  static std::string checkedText(const nlohmann::json& record,
                                 const std::string& line) {
    const auto& value = field(record, "text", line);
    if (!value.is_string()) propertyBroken("no text", line);
    const std::string text = value;
    if (text.empty()) propertyBroken("empty text", line);
    if (referenceTrimmed(text) != text) propertyBroken("untrimmed text", line);
    return text;
  }

  int finals = 0;
  std::optional<std::string> previousPartial;
  bool capturing = false;
};

class Session {
 public:
  explicit Session(FuzzedDataProvider& input) : input(input) {
    auto engine = std::make_unique<FakeAudioEngine>();
    audio = engine.get();
    listener =
        ContinuousListener::create(queue, speech, clock, std::move(engine));
  }

  void run() {
    listener->start();
    checkOutput("start");
    while (input.remaining_bytes() > 0 && !queue.exitStatus()) step();
    if (queue.exitStatus()) return;
    // Whatever came before, an orderly stop completes and exits.
    requestStop(/*thenExit=*/true);
    advance(stopFlushSeconds + 0.4, /*yieldOnCancel=*/false);
    checkOutput("final stop");
    if (!checker.stopped) propertyBroken("the final stop did not complete");
    if (queue.exitStatus() != 0) propertyBroken("no exit after the final stop");
  }

 private:
  void step() {
    const std::optional<size_t> running = runningTask();
    std::string what;
    bool lateDelivery = false;
    switch (input.ConsumeIntegralInRange(0, 12)) {
      case 0:
      case 1:
      case 2:
      case 3:
        what = "to the running task: ";
        if (running) {
          what += deliver(*running);
        } else {
          what += "none running";
        }
        break;
      case 4:
        lateDelivery = true;
        what = "late, to the task just cancelled: ";
        if (!justCancelled.empty()) {
          const size_t index = justCancelled.back();
          what += deliver(index);
          if (finished[index]) justCancelled.pop_back();
        } else {
          what += "none";
        }
        break;
      case 5:
      case 6: {
        const double seconds = decodeSeconds();
        what = "advance " + std::to_string(seconds) + " s";
        advance(seconds);
        break;
      }
      case 7:
        what = "pause";
        listener->pauseListening();
        break;
      case 8:
        what = "resume";
        listener->resumeListening();
        break;
      case 9: {
        const bool thenExit = input.ConsumeBool();
        what = thenExit ? "stop, then exit" : "stop";
        requestStop(thenExit);
        break;
      }
      case 10:
        what = deliverBuffer();
        break;
      case 11: {
        const uint32_t frames = input.ConsumeIntegralInRange(0, 4096);
        what = "buffer of " + std::to_string(frames) + " frames, no floats";
        audio->deliverWithoutFloats(frames);
        break;
      }
      default: {
        const double offset = input.ConsumeIntegralInRange(-50, 50) / 10.0;
        what = "wall clock step " + std::to_string(offset) + " s";
        clock.offset = clock.offset + offset;
      }
    }
    if (!lateDelivery) justCancelled.clear();
    noteCancelledTasks();
    checkOutput(what);
  }

  // Sends the task a partial, a final, an error or a result and an error
  // together, as the input decides; says which.
  std::string deliver(size_t index) {
    const int kind = input.ConsumeIntegralInRange(0, 3);
    std::optional<std::string> text;
    if (kind != 2) text = decodeText();
    const bool isFinal = kind == 1 || (kind == 3 && input.ConsumeBool());
    std::optional<RecognitionError> error;
    if (kind >= 2) error = decodeError();
    std::string what;
    if (text) what += (isFinal ? "final " : "partial ") + quoted(*text);
    if (error) {
      what += std::string(text ? " and " : "") + "error " + error->domain +
              " " + std::to_string(error->code);
    }
    send(index, text, isFinal, error);
    return what;
  }

  // The task the listener runs: the newest, unless it has been cancelled
  // or has delivered its last result.
  std::optional<size_t> runningTask() {
    finished.resize(speech.tasks.size(), false);
    if (speech.tasks.empty()) return std::nullopt;
    const size_t newest = speech.tasks.size() - 1;
    if (speech.tasks[newest]->cancelled || finished[newest])
      return std::nullopt;
    return newest;
  }

  // A step cancels at most the task running when it began and one that it
  // started itself.
  void noteCancelledTasks() {
    const size_t count = speech.tasks.size();
    finished.resize(count, false);
    cancelled.resize(count, false);
    for (size_t i = count < 3 ? 0 : count - 3; i < count; ++i) {
      if (speech.tasks[i]->cancelled && !cancelled[i]) {
        cancelled[i] = true;
        if (!finished[i]) justCancelled.push_back(i);
      }
    }
  }

  void send(size_t index, std::optional<std::string> text, bool isFinal,
            std::optional<RecognitionError> error) {
    // A final result or an error is the task's last delivery.
    if (isFinal || error) finished[index] = true;
    std::optional<RecognitionResult> result;
    if (text) result = RecognitionResult{*text, isFinal};
    speech.tasks[index]->handler(result, error);
  }

  // Moves virtual time on in small steps, and stops early when a step
  // cancels the running task, so that what that task still delivers can
  // come before anything else the queue would run.
  void advance(double seconds, bool yieldOnCancel = true) {
    constexpr double stepSeconds = 0.05;
    if (seconds == 0) queue.runUntilIdle();
    while (seconds > 0 && !queue.exitStatus()) {
      const std::optional<size_t> running = runningTask();
      const double step = std::min(stepSeconds, seconds);
      queue.advance(step);
      seconds -= step;
      if (yieldOnCancel && running && speech.tasks[*running]->cancelled) {
        break;
      }
    }
  }

  void requestStop(bool thenExit) {
    if (!stopAskedAt) stopAskedAt = queue.now();
    listener->stop(thenExit);
  }

  std::string deliverBuffer() {
    std::vector<float> samples(input.ConsumeIntegralInRange(0, 64), 0.0f);
    const float amplitude = amplitudes[input.ConsumeIntegralInRange<size_t>(
        0, amplitudes.size() - 1)];
    if (!samples.empty()) {
      samples[input.ConsumeIntegralInRange<size_t>(0, samples.size() - 1)] =
          amplitude;
    }
    const int channels = input.ConsumeIntegralInRange(1, 2);
    audio->deliver(samples, channels);
    return "buffer of " + std::to_string(samples.size()) + " frames, " +
           std::to_string(channels) + " channels, peak " +
           std::to_string(amplitude);
  }

  std::string decodeText() {
    std::string text;
    const int count = input.ConsumeIntegralInRange(0, 5);
    for (int i = 0; i < count; ++i) {
      text += textPieces[input.ConsumeIntegralInRange<size_t>(
          0, textPieces.size() - 1)];
    }
    return text;
  }

  RecognitionError decodeError() {
    const ErrorKind kind = errorKinds[input.ConsumeIntegralInRange<size_t>(
        0, errorKinds.size() - 1)];
    return RecognitionError{std::string(kind.domain), kind.code, decodeText()};
  }

  double decodeSeconds() {
    if (input.ConsumeBool()) {
      return notableSeconds[input.ConsumeIntegralInRange<size_t>(
          0, notableSeconds.size() - 1)];
    }
    return input.ConsumeIntegralInRange(0, 1300) / 100.0;
  }

  // Checks what the step wrote, and keeps both in the transcript.
  void checkOutput(const std::string& step) {
    char time[32];
    std::snprintf(time, sizeof time, "%8.2f s  ", queue.now());
    fuzzTranscript += time + step + "\n";
    for (const std::string& line : output->newLines()) {
      fuzzTranscript += "             " + line + "\n";
      checker.check(line);
    }
    if (stopAskedAt && !checker.stopped &&
        queue.now() > *stopAskedAt + stopFlushSeconds + 1e-6) {
      propertyBroken("no \"stopped\" 1.6 s after the first stop");
    }
    if (const auto status = queue.exitStatus()) {
      if (*status != 0 || !checker.stopped) {
        propertyBroken("exit without an orderly stop");
      }
    }
  }

  static std::string quoted(const std::string& text) {
    return nlohmann::json(text).dump();
  }

  FuzzedDataProvider& input;
  // Declared before the listener, which refers to them, so they outlive it.
  FakeMainQueue queue;
  FakeSpeechService speech;
  FakeWallClock clock{queue};
  FakeAudioEngine* audio = nullptr;  // owned by the listener
  std::shared_ptr<ContinuousListener> listener;

  std::vector<bool> finished;   // by task: it delivered its last result
  std::vector<bool> cancelled;  // by task: seen cancelled
  // Tasks cancelled by the previous step whose deliveries may be under way.
  std::vector<size_t> justCancelled;
  std::optional<double> stopAskedAt;
  StreamChecker checker;
};

}  // namespace
}  // namespace quorvel

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static quorvel::OutputCapture capture;
  quorvel::output = &capture;
  // The listener's diagnostics ("quorvel: restart after ...") would flood
  // the fuzzer's log; the stream the product writes them to is a variable.
  stderr = std::fopen("/dev/null", "w");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quorvel::output->reset();
  quorvel::fuzzTranscript.clear();
  FuzzedDataProvider input(data, size);
  quorvel::Session(input).run();
  // To read what a saved input does: QUORVEL_FUZZ_TRANSCRIPT=1.
  if (std::getenv("QUORVEL_FUZZ_TRANSCRIPT")) {
    [[maybe_unused]] const ssize_t ignored =
        write(STDERR_FILENO, quorvel::fuzzTranscript.data(),
              quorvel::fuzzTranscript.size());
  }
  return 0;
}
