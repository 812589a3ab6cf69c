#include "listener/continuous_listener.h"

#include <cmath>
#include <utility>

#include "events/event_writer.h"
#include "events/shortest_decimal.h"

namespace quorvel {
namespace {

// The sample rate as the shortest text that reads back to the same
// double, always with a fractional part ("0.0", "44100.0", "22050.5").
std::string formatSampleRate(double sampleRate) {
  std::string text = shortestDecimal(sampleRate);
  if (text.find_first_not_of("-0123456789") == std::string::npos) text += ".0";
  return text;
}

}  // namespace

std::shared_ptr<ContinuousListener> ContinuousListener::create(
    MainQueue& queue, SpeechService& speech, WallClock& clock,
    std::unique_ptr<AudioEngine> audioEngine, std::string localeId,
    PhraseSource phrases) {
  std::shared_ptr<ContinuousListener> listener(
      new ContinuousListener(queue, speech, clock, std::move(audioEngine),
                             std::move(localeId), std::move(phrases)));
  // The engine reports from its own thread; the listener's state belongs
  // to the main queue.
  std::weak_ptr<ContinuousListener> weak = listener;
  listener->audioEngine->setFailureHandler(
      [weak, &queue](const std::string& reason) {
        queue.async([weak, reason] {
          if (auto self = weak.lock()) self->handleCaptureFailure(reason);
        });
      });
  return listener;
}

ContinuousListener::ContinuousListener(MainQueue& queue, SpeechService& speech,
                                       WallClock& clock,
                                       std::unique_ptr<AudioEngine> audioEngine,
                                       std::string localeId,
                                       PhraseSource phrases)
    : queue(queue),
      speech(speech),
      clock(clock),
      audioEngine(std::move(audioEngine)),
      localeId(std::move(localeId)),
      phrases(std::move(phrases)) {}

void ContinuousListener::start() {
  if (stopped || stopping || paused) return;

  auto newRecognizer = speech.recognizer(localeId);
  if (!newRecognizer) newRecognizer = speech.defaultRecognizer();
  if (!newRecognizer) fail("No SFSpeechRecognizer for locale " + localeId, 3);
  if (!newRecognizer->isAvailable()) {
    fail("SFSpeechRecognizer unavailable (dictation/Siri disabled?)", 3);
  }
  recognizer = std::move(newRecognizer);

  auto newRequest = recognizer->makeRequest();
  newRequest->setShouldReportPartialResults(true);
  if (recognizer->supportsOnDeviceRecognition()) {
    newRequest->setRequiresOnDeviceRecognition(true);
  }
  if (phrases) newRequest->setContextualStrings(phrases());
  std::atomic_store(&request, newRequest);

  lastPartial.clear();
  heardVoice = false;
  cancelFinalizeTimers();

  const AudioEngine::Format format = audioEngine->inputFormat();
  // A NaN rate would pass a plain "<= 0" test and reach the engine.
  if (!(format.sampleRate > 0) || format.channelCount == 0) {
    fail("Invalid mic format (sampleRate=" +
             formatSampleRate(format.sampleRate) +
             ", channels=" + std::to_string(format.channelCount) + ")",
         4);
  }
  audioEngine->removeTap();
  std::weak_ptr<ContinuousListener> weak = weak_from_this();
  audioEngine->installTap(tapBufferSize, [weak](const AudioBuffer& buffer) {
    if (auto self = weak.lock()) self->handleBuffer(buffer);
  });
  if (std::string error = audioEngine->start(); !error.empty()) {
    if (captureRetriesLeft > 0) {
      retryCaptureStart();
      return;
    }
    fail("AVAudioEngine start failed: " + error, 4);
  }
  captureRetriesLeft = 0;

  emit({{"type", "listening"}});
  armMaxSegmentTimer();
  task = recognizer->recognitionTask(
      newRequest, [weak](const std::optional<RecognitionResult>& result,
                         const std::optional<RecognitionError>& error) {
        if (auto self = weak.lock()) self->handleResult(result, error);
      });
}

// Capture thread: no lock but the standard library's brief one inside
// atomic_load, no allocation but the level record, and at most one pass
// over channel 0 per level interval.
void ContinuousListener::handleBuffer(const AudioBuffer& buffer) {
  if (paused || stopped) return;
  if (auto current = std::atomic_load(&request)) current->append(buffer);

  const double now = clock.now();
  if (now - lastLevelEmit.load(std::memory_order_relaxed) < levelEmitInterval) {
    return;
  }
  lastLevelEmit.store(now, std::memory_order_relaxed);
  if (buffer.frameLength == 0 || buffer.channels.empty()) return;

  const float* samples = buffer.channels[0];
  float peak = 0.0f;
  for (uint32_t i = 0; i < buffer.frameLength; ++i) {
    const float magnitude = std::fabs(samples[i]);
    if (magnitude > peak) peak = magnitude;  // false for NaN
  }
  const double level = std::min(1.0, static_cast<double>(peak) * 4.0);
  if (level > 0.12) heardVoice = true;
  emit({{"type", "level"}, {"rms", level}});
}

void ContinuousListener::teardownEngine(bool emitStopped) {
  if (task) {
    task->cancel();
    task.reset();
  }
  if (auto ended = std::atomic_exchange(&request, {})) ended->endAudio();
  if (audioEngine->isRunning()) audioEngine->stop();
  audioEngine->removeTap();
  if (emitStopped) emit({{"type", "stopped"}});
}

void ContinuousListener::cancelFinalizeTimers() {
  if (silenceWorkItem) silenceWorkItem->cancel();
  silenceWorkItem.reset();
  if (maxSegmentWorkItem) maxSegmentWorkItem->cancel();
  maxSegmentWorkItem.reset();
}

std::shared_ptr<WorkItem> ContinuousListener::makeWorkItem(
    void (ContinuousListener::*method)()) {
  std::weak_ptr<ContinuousListener> weak = weak_from_this();
  return std::make_shared<WorkItem>([weak, method] {
    if (auto self = weak.lock()) ((*self).*method)();
  });
}

}  // namespace quorvel
