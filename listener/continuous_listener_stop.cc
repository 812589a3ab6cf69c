// Pause, resume and the orderly stop.
#include "events/event_writer.h"
#include "listener/continuous_listener.h"
#include "listener/text.h"

namespace quorvel {

void ContinuousListener::pauseListening() {
  if (stopped || paused) return;
  // Set before the teardown: late buffers and results are dropped.
  paused = true;
  if (restartWorkItem) restartWorkItem->cancel();
  restartWorkItem.reset();
  restarting = false;
  captureRetriesLeft = 0;  // a resume starts afresh
  lastPartial.clear();
  cancelFinalizeTimers();
  teardownEngine(/*emitStopped=*/false);
  // Released at once, not held as between segments: the resumed recording
  // is then a new one, which neither the audio of the pause nor the words
  // the segment had not written can reach, however soon the resume comes.
  audioEngine->release();
  emit({{"type", "paused"}});
}

void ContinuousListener::resumeListening() {
  if (stopped || !paused) return;
  paused = false;
  restarting = false;
  writeDiagnostic("quorvel: resume after pause\n");
  start();
}

void ContinuousListener::stop(bool thenExit) {
  if (thenExit) {
    exitAfterStop = true;
    if (stopped) {
      queue.exitProcess(0);
      return;
    }
  }
  if (stopped || stopping) return;
  stopping = true;
  if (restartWorkItem) restartWorkItem->cancel();
  restartWorkItem.reset();
  cancelFinalizeTimers();

  // Unlike a teardown, leave the task running so that it can still
  // deliver what it heard.
  audioEngine->removeTap();
  if (audioEngine->isRunning()) audioEngine->stop();
  if (auto current = std::atomic_load(&request)) current->endAudio();

  if (!task) {
    // While restarting, the held text can only have come from the task
    // just cancelled, whose words the segment's "final" already carried
    // (or which the coming start() would have dropped): reporting it again
    // would hand the parent the same speech twice.
    if (restarting) lastPartial.clear();
    finishStop();
    return;
  }
  if (heardVoice || !trimmed(lastPartial).empty()) {
    stopFlushWorkItem = makeWorkItem(&ContinuousListener::finishStop);
    queue.asyncAfter(stopFlushSeconds, stopFlushWorkItem);
  } else {
    finishStop();
  }
}

void ContinuousListener::finishStop() {
  if (stopped) return;
  if (stopFlushWorkItem) stopFlushWorkItem->cancel();
  stopFlushWorkItem.reset();
  const std::string text = trimmed(lastPartial);
  if (!text.empty()) {
    lastPartial.clear();
    emit({{"type", "final"}, {"text", text}, {"reason", "stop"}});
  }
  stopped = true;
  paused = false;
  stopping = false;
  teardownEngine(/*emitStopped=*/true);
  if (exitAfterStop) queue.exitProcess(0);
}

}  // namespace quorvel
