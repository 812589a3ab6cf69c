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

#include <array>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>

#include "listener/continuous_listener.h"
#include "tests/fakes/fakes.h"
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
// The four codes the listener ignores, other codes of their domain, and
// one of them in another domain.
constexpr std::array<std::pair<std::string_view, int64_t>, 8> errorKinds = {{
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
    0.0f,
    0.01f,
    0.03f,
    0.0301f,
    0.25f,
    1.0f,
    -1.0f,
    -0.5f,
    std::numeric_limits<float>::quiet_NaN(),
    std::numeric_limits<float>::infinity()};
constexpr double stopFlushSeconds = 1.6;

CapturedOutput* output = nullptr;

template <typename T, size_t size>
T pick(FuzzedDataProvider& input, const std::array<T, size>& from) {
  return from[input.ConsumeIntegralInRange<size_t>(0, size - 1)];
}

class StreamChecker {
 public:
  void check(const std::string& line) {
    const auto record = nlohmann::json::parse(line, nullptr, false);
    if (!record.is_object() || !record.contains("type") ||
        !record["type"].is_string()) {
      propertyBroken("not a record", line);
    }
    if (stopped) propertyBroken("a record after \"stopped\"", line);
    static const std::map<std::string, size_t> keyCounts = {
        {"listening", 1}, {"level", 2},  {"partial", 2}, {"final", 3},
        {"error", 3},     {"paused", 1}, {"stopped", 1}};
    const std::string type = record["type"];
    if (!keyCounts.contains(type)) propertyBroken("unexpected record", line);
    if (record.size() != keyCounts.at(type)) {
      propertyBroken("unexpected keys", line);
    }
    const auto text = [&](const char* key) {
      if (!record.contains(key) || !record[key].is_string()) {
        propertyBroken("no text", line);
      }
      const std::string value = record[key];
      if (value.empty()) propertyBroken("empty text", line);
      if (referenceTrimmed(value) != value) {
        propertyBroken("untrimmed text", line);
      }
      return value;
    };
    if (type == "listening") {
      finals = 0;
      previousPartial.reset();
      capturing = true;
    } else if (type == "level") {
      const auto& rms = record.value("rms", nlohmann::json());
      if (!capturing) propertyBroken("\"level\" while not capturing", line);
      if (!rms.is_number() || !(rms >= 0.0) || rms > 1.0) {
        propertyBroken("\"rms\" outside 0..1", line);
      }
    } else if (type == "partial") {
      const std::string partial = text("text");
      if (previousPartial &&
          referenceCanonicallyEqual(*previousPartial, partial)) {
        propertyBroken("\"partial\" repeats the one before it", line);
      }
      previousPartial = partial;
    } else {
      capturing = false;
    }
    if (type == "final") {
      text("text");
      static const std::array<std::string, 5> reasons = {
          "isFinal", "silence", "max-segment", "error-with-partial", "stop"};
      const auto reason = record.value("reason", nlohmann::json());
      if (std::find(reasons.begin(), reasons.end(), reason) == reasons.end()) {
        propertyBroken("unknown \"final\" reason", line);
      }
      if (++finals > 1) propertyBroken("a second \"final\" in a segment", line);
      previousPartial.reset();
    }
    if (type == "error" &&
        (!record.value("message", nlohmann::json()).is_string() ||
         record.value("fatal", nlohmann::json()) != false)) {
      propertyBroken("not a recoverable error record", line);
    }
    stopped = type == "stopped";
  }

  bool stopped = false;

 private:
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
        ContinuousListener::create(queue, speech, fake, std::move(engine));
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
    const int choice = input.ConsumeIntegralInRange(0, 12);
    if (choice <= 3) {
      what = "to the running task: " +
             (running ? deliver(*running) : std::string("none running"));
    } else if (choice == 4) {
      what = "late, to the task just cancelled: ";
      if (justCancelled.empty()) {
        what += "none";
      } else {
        const size_t index = justCancelled.back();
        what += deliver(index);
        if (finished[index]) justCancelled.pop_back();
      }
    } else if (choice <= 6) {
      const double seconds =
          input.ConsumeBool() ? pick(input, notableSeconds)
                              : input.ConsumeIntegralInRange(0, 1300) / 100.0;
      what = "advance " + std::to_string(seconds) + " s";
      advance(seconds);
    } else if (choice == 7) {
      what = "pause";
      listener->pauseListening();
    } else if (choice == 8) {
      what = "resume";
      listener->resumeListening();
    } else if (choice == 9) {
      const bool thenExit = input.ConsumeBool();
      what = thenExit ? "stop, then exit" : "stop";
      requestStop(thenExit);
    } else if (choice == 10) {
      std::vector<float> samples(input.ConsumeIntegralInRange(0, 64), 0.0f);
      const float amplitude = pick(input, amplitudes);
      if (!samples.empty()) {
        samples[input.ConsumeIntegralInRange<size_t>(0, samples.size() - 1)] =
            amplitude;
      }
      const int channels = input.ConsumeIntegralInRange(1, 2);
      audio->deliver(samples, channels);
      what = "buffer of " + std::to_string(samples.size()) + " frames, " +
             std::to_string(channels) + " channels, peak " +
             std::to_string(amplitude);
    } else if (choice == 11) {
      const uint32_t frames = input.ConsumeIntegralInRange(0, 4096);
      what = "buffer of " + std::to_string(frames) + " frames, no floats";
      audio->deliver({}, 1, frames);
    } else {
      const double offset = input.ConsumeIntegralInRange(-50, 50) / 10.0;
      what = "wall clock step " + std::to_string(offset) + " s";
      fake.clockStep = fake.clockStep + offset;
    }
    if (choice != 4) justCancelled.clear();
    // A step cancels at most the task running when it began and one that
    // it started itself.
    const size_t count = speech.tasks.size();
    finished.resize(count, false);
    cancelled.resize(count, false);
    for (size_t i = count < 3 ? 0 : count - 3; i < count; ++i) {
      if (speech.tasks[i]->cancelled && !cancelled[i]) {
        cancelled[i] = true;
        if (!finished[i]) justCancelled.push_back(i);
      }
    }
    checkOutput(what);
  }

  // Sends the task a partial, a final, an error or a result and an error
  // together, as the input decides; says which. A final result or an error
  // is the task's last delivery.
  std::string deliver(size_t index) {
    const int kind = input.ConsumeIntegralInRange(0, 3);
    std::optional<std::string> text;
    if (kind != 2) {
      text.emplace();
      const int count = input.ConsumeIntegralInRange(0, 5);
      for (int i = 0; i < count; ++i) *text += pick(input, textPieces);
    }
    const bool isFinal = kind == 1 || (kind == 3 && input.ConsumeBool());
    std::optional<RecognitionError> error;
    std::string what;
    if (text) {
      what += (isFinal ? "final " : "partial ") + nlohmann::json(*text).dump();
    }
    if (kind >= 2) {
      const auto [domain, code] = pick(input, errorKinds);
      std::string description;
      const int count = input.ConsumeIntegralInRange(0, 5);
      for (int i = 0; i < count; ++i) description += pick(input, textPieces);
      error = RecognitionError{std::string(domain), code, description};
      what += std::string(text ? " and " : "") + "error " +
              std::string(domain) + " " + std::to_string(code);
    }
    if (isFinal || error) finished[index] = true;
    speech.tasks[index]->send(text, isFinal, error);
    return what;
  }

  // The newest task, unless it has been cancelled or has ended.
  std::optional<size_t> runningTask() {
    finished.resize(speech.tasks.size(), false);
    if (speech.tasks.empty() || speech.tasks.back()->cancelled ||
        finished.back()) {
      return std::nullopt;
    }
    return speech.tasks.size() - 1;
  }

  // Moves virtual time on in small steps, and stops early when a step
  // cancels the running task, so that what that task still delivers can
  // come before anything else the queue would run.
  void advance(double seconds, bool yieldOnCancel = true) {
    if (seconds == 0) queue.runUntilIdle();
    while (seconds > 0 && !queue.exitStatus()) {
      const std::optional<size_t> running = runningTask();
      const double step = std::min(0.05, seconds);
      queue.advance(step);
      seconds -= step;
      if (yieldOnCancel && running && speech.tasks[*running]->cancelled) break;
    }
  }

  void requestStop(bool thenExit) {
    if (!stopAskedAt) stopAskedAt = queue.now();
    listener->stop(thenExit);
  }

  // Checks what the step wrote, and keeps both in the transcript.
  void checkOutput(const std::string& step) {
    char time[32];
    std::snprintf(time, sizeof time, "%8.2f s  ", queue.now());
    fuzzTranscript += time + step + "\n";
    for (const std::string& line : output->take()) {
      fuzzTranscript += "             " + line + "\n";
      checker.check(line);
    }
    if (stopAskedAt && !checker.stopped &&
        queue.now() > *stopAskedAt + stopFlushSeconds + 1e-6) {
      propertyBroken("no \"stopped\" 1.6 s after the first stop");
    }
    if (queue.exitStatus() && (queue.exitStatus() != 0 || !checker.stopped)) {
      propertyBroken("exit without an orderly stop");
    }
  }

  FuzzedDataProvider& input;
  // Declared before the listener, which refers to them, so they outlive it.
  FakePlatform fake;  // its wall clock is the queue's, moved by clockStep
  FakeMainQueue& queue = fake.queue;
  FakeSpeechService& speech = fake.speech;
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
  quorvel::output = new quorvel::CapturedOutput(/*errorsToo=*/false);
  // The listener's diagnostics ("quorvel: restart after ...") would flood
  // the fuzzer's log; the stream the product writes them to is a variable.
  stderr = std::fopen("/dev/null", "w");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quorvel::output->clear();
  quorvel::fuzzTranscript.clear();
  FuzzedDataProvider input(data, size);
  quorvel::Session(input).run();
  // To read what a saved input does: QUORVEL_FUZZ_TRANSCRIPT=1.
  if (std::getenv("QUORVEL_FUZZ_TRANSCRIPT")) quorvel::showTranscript();
  return 0;
}
