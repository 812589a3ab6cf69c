// One model of an engine, loaded at most once per process and kept warm for
// its life, with the one thread that owns its decoder: the thread loads the
// model, then decodes the streams handed to it one after another, in order.
// A stream whose audio follows on from a cancelled one's goes on in the
// same utterance: what the cancelled task heard but the listener was not
// given comes first in the next (platform/carry). Used from any thread.
//
// Engine libraries end the whole process on some failures: an uncaught
// exception, abort(), a crash signal, exit(), PocketSphinx's fatal log, as
// a damaged or mismatched model file brings about. Every call into the
// engine runs on this thread, marked as an engine call, and such a failure
// there stops only this thread, for good: the model is then broken, the
// task it was decoding ends with an error, and usable() is false from then
// on. The same failure on any other thread ends the process as before.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_DECODING_THREAD_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_DECODING_THREAD_H_

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "platform/linux/speech/decoder.h"
#include "platform/linux/speech/mono_resampler.h"
#include "platform/linux/speech/recognition_stream.h"

namespace quorvel {

class DecodingThread {
 public:
  // The process's one object for the model in folder; cheap, loads
  // nothing. engine must live until the process ends.
  static std::shared_ptr<DecodingThread> forModel(Engine& engine,
                                                  const std::string& folder);

  DecodingThread(const DecodingThread&) = delete;
  DecodingThread& operator=(const DecodingThread&) = delete;

  // Starts the thread on the first call, which waits for the load; later
  // calls answer at once. True while the model can decode. A failed load
  // is not retried. Writes one "quorvel: " line when the model has loaded
  // and one when it breaks.
  bool usable();
  // Decodes stream after the streams queued before it, delivering its
  // results through the stream. A model that is not usable, or breaks while
  // decoding it, ends the stream with an error.
  void decode(std::shared_ptr<RecognitionStream> stream);

 private:
  friend void stopDecodingThreadOnFatalError(const char* reason);
  friend void reapStoppedThreads();
  class EngineCall;
  enum class State { Idle, Loading, Ready, Broken };

  DecodingThread(Engine& engine, std::string folder);
  void run();  // the decoding thread
  void decodeOne(RecognitionStream& stream);
  // Ends the model's use with reason; the first call alone counts.
  void markBroken(const std::string& reason);

  Engine& engine;
  const std::string folder;

  std::mutex stateMutex;
  std::condition_variable stateChanged;
  State state = State::Idle;  // guarded by stateMutex

  // Owned by the decoding thread; never freed, since the model stays warm
  // until the process ends.
  std::unique_ptr<Decoder> decoder;
  // The decoding thread's own: whether an utterance goes on for the next
  // stream whose audio follows on from lastFed (its samples unused), and
  // the converter to the decoder's rate, whose state goes on with it.
  bool utteranceOpen = false;
  AudioChunk lastFed;
  std::unique_ptr<MonoResampler> resampler;

  std::mutex jobsMutex;
  std::condition_variable jobsReady;
  // Guarded by jobsMutex: the queue, the stream being decoded, and whether
  // the model broke (no stream is queued after that).
  std::deque<std::shared_ptr<RecognitionStream>> jobs;
  std::shared_ptr<RecognitionStream> current;
  bool closed = false;

  // Written on the decoding thread by a fatal failure, possibly inside a
  // signal handler, then read by the thread that marks the model broken.
  std::atomic<bool> stopped{false};
  char stopReason[256] = {};
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_DECODING_THREAD_H_
