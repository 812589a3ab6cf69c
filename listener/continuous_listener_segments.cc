// Result handling, segment finalization and restart.
#include <utility>

#include "events/event_writer.h"
#include "listener/continuous_listener.h"
#include "listener/text.h"

namespace quorvel {
namespace {

// Errors the recogniser reports in the ordinary course of a task (no
// speech, cancelled, ...): dropped without a trace.
bool isIgnoredError(const RecognitionError& error) {
  if (error.domain != routineEndDomain) return false;
  for (const int64_t code : routineEndCodes) {
    if (error.code == code) return true;
  }
  return false;
}

}  // namespace

void ContinuousListener::handleResult(
    const std::optional<RecognitionResult>& result,
    const std::optional<RecognitionError>& error) {
  if (stopped || paused) return;

  if (result) {
    const std::string text = trimmed(result->bestText);
    if (!text.empty()) {
      heardVoice = true;
      if (stopping) {
        // Collect what the recogniser still delivers; the stop reports it.
        lastPartial = text;
        if (result->isFinal) queueFinishStop();
        return;
      }
      if (result->isFinal) {
        emitFinalAndRestart(text, "isFinal");
      } else if (!canonicallyEqual(text, lastPartial)) {
        lastPartial = text;
        emit({{"type", "partial"}, {"text", text}});
        armSilenceFinalize();
      }
    }
  }

  if (!error || isIgnoredError(*error)) return;
  if (stopping) {
    queueFinishStop();
    return;
  }
  if (stopped || restarting || paused) return;
  endSegmentOnError(error->description);
}

void ContinuousListener::handleCaptureFailure(const std::string& reason) {
  // A report overtaken by a teardown, or by the start of a new capture,
  // concerns a segment that is over.
  if (finalizationBlocked() || audioEngine->isRunning()) return;
  endSegmentOnError("Audio capture ended: " + reason);
}

void ContinuousListener::endSegmentOnError(const std::string& description) {
  const std::string held = trimmed(lastPartial);
  if (!held.empty()) {
    writeDiagnostic("quorvel: recognition error with partial — finalize: " +
                    description + "\n");
    emitFinalAndRestart(held, "error-with-partial");
  } else {
    emit({{"type", "error"}, {"message", description}, {"fatal", false}});
    scheduleRestart("error");
  }
}

// Never run inside the result handler: always on a later turn.
void ContinuousListener::queueFinishStop() {
  queue.async([self = shared_from_this()] { self->finishStop(); });
}

bool ContinuousListener::finalizationBlocked() const {
  return stopped || restarting || paused || stopping;
}

void ContinuousListener::armSilenceFinalize() {
  if (silenceWorkItem) silenceWorkItem->cancel();
  silenceWorkItem = makeWorkItem(&ContinuousListener::silenceAction);
  queue.asyncAfter(silenceFinalizeSeconds, silenceWorkItem);
}

void ContinuousListener::armMaxSegmentTimer() {
  if (maxSegmentWorkItem) maxSegmentWorkItem->cancel();
  maxSegmentWorkItem = makeWorkItem(&ContinuousListener::maxSegmentAction);
  queue.asyncAfter(maxSegmentSeconds, maxSegmentWorkItem);
}

void ContinuousListener::silenceAction() {
  if (finalizationBlocked()) return;
  const std::string text = trimmed(lastPartial);
  if (!text.empty()) emitFinalAndRestart(text, "silence");
}

void ContinuousListener::maxSegmentAction() {
  if (finalizationBlocked()) return;
  const std::string text = trimmed(lastPartial);
  if (!text.empty()) {
    emitFinalAndRestart(text, "max-segment");
  } else {
    scheduleRestart("max-segment-empty");
  }
}

void ContinuousListener::emitFinalAndRestart(const std::string& text,
                                             const std::string& reason) {
  if (finalizationBlocked()) return;
  const std::string finalText = trimmed(text);
  if (!finalText.empty()) {
    lastPartial.clear();
    cancelFinalizeTimers();
    emit({{"type", "final"}, {"text", finalText}, {"reason", reason}});
  }
  scheduleRestart(reason);
}

void ContinuousListener::scheduleRestart(const std::string& reason) {
  if (finalizationBlocked()) return;
  // Set before the teardown, so that what the cancelled task still
  // reports is ignored.
  restarting = true;
  cancelFinalizeTimers();
  teardownEngine(/*emitStopped=*/false);
  std::weak_ptr<ContinuousListener> weak = weak_from_this();
  restartWorkItem = std::make_shared<WorkItem>([weak, reason] {
    if (auto self = weak.lock()) self->restartAction(reason);
  });
  queue.asyncAfter(restartDelaySeconds, restartWorkItem);
}

void ContinuousListener::restartAction(const std::string& reason) {
  restarting = false;
  if (stopped || paused || stopping) return;
  writeDiagnostic("quorvel: restart after " + reason + "\n");
  captureRetriesLeft = captureRetryAttempts;
  start();
}

// The engine did not start within a restart: undo this start() as a
// restart's teardown would, and try again shortly. Meanwhile the listener
// is Restarting, so a pause or stop cancels the retry like a restart.
void ContinuousListener::retryCaptureStart() {
  --captureRetriesLeft;
  restarting = true;
  teardownEngine(/*emitStopped=*/false);
  restartWorkItem = makeWorkItem(&ContinuousListener::captureRetryAction);
  queue.asyncAfter(captureRetrySeconds, restartWorkItem);
}

void ContinuousListener::captureRetryAction() {
  restarting = false;
  if (stopped || paused || stopping) return;
  start();
}

}  // namespace quorvel
