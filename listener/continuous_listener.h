// The one listener: turns the microphone into segments of recognition and
// reports them as "listening", "level", "partial", "final", "paused",
// "stopped" and "error" records. Every public operation, the result
// handler and the timers run on the main queue; only the tap runs on the
// audio engine's capture thread.
#ifndef QUORVEL_LISTENER_CONTINUOUS_LISTENER_H_
#define QUORVEL_LISTENER_CONTINUOUS_LISTENER_H_

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/audio.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/speech.h"

namespace quorvel {

class ContinuousListener
    : public std::enable_shared_from_this<ContinuousListener> {
 public:
  // What each segment's request should expect to hear; called on the main
  // queue as the segment starts.
  using PhraseSource = std::function<std::shared_ptr<const PhraseList>()>;

  // Takes the one audio engine for the listener's life; starts nothing
  // and writes nothing. queue, speech and clock must outlive the listener.
  // Without phrases, requests expect nothing in particular.
  static std::shared_ptr<ContinuousListener> create(
      MainQueue& queue, SpeechService& speech, WallClock& clock,
      std::unique_ptr<AudioEngine> audioEngine, std::string localeId = "en-US",
      PhraseSource phrases = nullptr);

  ContinuousListener(const ContinuousListener&) = delete;
  ContinuousListener& operator=(const ContinuousListener&) = delete;

  // Begins a segment: recogniser, request, tap, engine, "listening",
  // max-segment timer, task. Does nothing while paused, stopping or
  // stopped. A start failure ends the process with status 3 (no usable
  // recogniser) or 4 (bad input format, engine start failure); after a
  // restart, an engine that does not start is first tried again every
  // captureRetrySeconds for captureRetryAttempts times (the sound server
  // may be coming back).
  void start();
  // Releases the microphone at once and drops all of the segment: its
  // text, and the words and audio not yet recognised; "paused".
  void pauseListening();
  // After a pause: "quorvel: resume after pause" on stderr and start().
  void resumeListening();
  // Ends listening for good after letting the recogniser deliver what it
  // heard (at most 1.6 s): "final" with reason "stop" if text is held,
  // then "stopped"; with thenExit the process then exits with status 0.
  // Repeated stops are harmless.
  void stop(bool thenExit = false);

 private:
  ContinuousListener(MainQueue& queue, SpeechService& speech, WallClock& clock,
                     std::unique_ptr<AudioEngine> audioEngine,
                     std::string localeId, PhraseSource phrases);

  void handleBuffer(const AudioBuffer& buffer);  // capture thread
  void handleResult(const std::optional<RecognitionResult>& result,
                    const std::optional<RecognitionError>& error);
  // Capture ended without a stop: the segment ends as on a recognition
  // error.
  void handleCaptureFailure(const std::string& reason);
  // Finalizes the segment's text with "error-with-partial", or reports a
  // non-fatal error without text; then restarts.
  void endSegmentOnError(const std::string& description);
  void retryCaptureStart();
  void captureRetryAction();
  void teardownEngine(bool emitStopped);
  void cancelFinalizeTimers();
  void armSilenceFinalize();
  void armMaxSegmentTimer();
  void silenceAction();
  void maxSegmentAction();
  void emitFinalAndRestart(const std::string& text, const std::string& reason);
  void scheduleRestart(const std::string& reason);
  void restartAction(const std::string& reason);
  void finishStop();
  void queueFinishStop();
  // A work item that calls method on this listener if it still exists.
  std::shared_ptr<WorkItem> makeWorkItem(void (ContinuousListener::*method)());
  bool finalizationBlocked() const;

  MainQueue& queue;
  SpeechService& speech;
  WallClock& clock;
  const std::unique_ptr<AudioEngine> audioEngine;

  std::unique_ptr<SpeechRecognizer> recognizer;
  // Shared with the capture thread, which holds its own reference for the
  // length of one append. Accessed only through std::atomic_load, _store
  // and _exchange: Apple's libc++ has no std::atomic<std::shared_ptr>.
  std::shared_ptr<RecognitionRequest> request;
  std::unique_ptr<RecognitionTask> task;

  bool restarting = false;
  // Engine starts this restart may still retry; 0 outside a restart.
  int captureRetriesLeft = 0;
  std::atomic<bool> stopped{false};  // terminal
  bool stopping = false;
  std::atomic<bool> paused{false};
  bool exitAfterStop = false;  // never cleared once set
  // Something was heard in this segment: a loud buffer or any text.
  std::atomic<bool> heardVoice{false};
  const std::string localeId;
  const PhraseSource phrases;
  std::string lastPartial;  // trimmed; empty when the segment has no text

  std::shared_ptr<WorkItem> restartWorkItem;
  std::shared_ptr<WorkItem> silenceWorkItem;
  std::shared_ptr<WorkItem> maxSegmentWorkItem;
  std::shared_ptr<WorkItem> stopFlushWorkItem;

  // Wall-clock seconds of the last level record; the tap's alone.
  std::atomic<double> lastLevelEmit{0.0};

  static constexpr double levelEmitInterval = 0.08;
  static constexpr double silenceFinalizeSeconds = 1.1;
  static constexpr double maxSegmentSeconds = 12.0;
  static constexpr double stopFlushSeconds = 1.6;
  static constexpr double restartDelaySeconds = 0.35;
  // A PulseAudio or PipeWire server takes about a second to restart: a
  // restart waits up to 5 s for capture to come back.
  static constexpr double captureRetrySeconds = 0.25;
  static constexpr int captureRetryAttempts = 20;
  static constexpr uint32_t tapBufferSize = 1024;
};

}  // namespace quorvel

#endif  // QUORVEL_LISTENER_CONTINUOUS_LISTENER_H_
