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
// there ends the process at once, from the failing thread: one line on
// standard error naming the model and the failure, the fatal record of a
// locale without a recogniser on standard output, status 3. Nothing else
// may run first, since the failing thread may hold any lock of the process
// (standard error's, the allocator's) for good. A model that the library
// only reports it cannot load is unusable, and the next one may be used.
// The same failures on any other thread keep their usual effect.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_DECODING_THREAD_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_DECODING_THREAD_H_

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "platform/linux/speech/conditioning/audio_conditioner.h"
#include "platform/linux/speech/decoder.h"
#include "platform/linux/speech/recognition_stream.h"

namespace quorvel {

class DecodingThread {
 public:
  // The process's one object for the model in folder; cheap, loads
  // nothing. engine, and voices when not null, must live until the process
  // ends; with voices, the model decodes only around speech (VoiceGate),
  // else all audio. The first call for a model decides.
  static std::shared_ptr<DecodingThread> forModel(
      Engine& engine, const std::string& folder,
      VoiceDetectorSource* voices = nullptr);

  DecodingThread(const DecodingThread&) = delete;
  DecodingThread& operator=(const DecodingThread&) = delete;

  // Starts the thread on the first call, which waits for the load; later
  // calls answer at once. True once the model has loaded; a failed load is
  // not retried. Writes one "quorvel: " line when the model has loaded and
  // one when it does not load.
  bool usable();
  // Decodes stream after the streams queued before it, delivering its
  // results through the stream. A model that is not usable ends the stream
  // with an error.
  void decode(std::shared_ptr<RecognitionStream> stream);

 private:
  enum class State { Idle, Loading, Ready, Unusable };

  DecodingThread(Engine& engine, std::string folder,
                 VoiceDetectorSource* voices);
  void run();  // the decoding thread
  void decodeOne(RecognitionStream& stream);

  Engine& engine;
  const std::string folder;
  // "quorvel: the <engine> model in <folder> failed: ", composed before any
  // engine call: a fatal failure there writes it with its reason.
  const std::string fatalLineStart;
  VoiceDetectorSource* const voices;  // null: no gating
  // The same for the voice-activity model; set once, before it is used.
  std::string detectorLineStart;

  std::mutex stateMutex;
  std::condition_variable stateChanged;
  State state = State::Idle;  // guarded by stateMutex

  // Owned by the decoding thread; never freed, since the model stays warm
  // until the process ends.
  std::unique_ptr<Decoder> decoder;
  // The decoding thread's own: whether an utterance goes on for the next
  // stream whose audio follows on from lastFed (its samples unused), and
  // the conditioning of the audio for the decoder, whose rate converter's
  // state goes on with the utterance and whose speech level lasts.
  bool utteranceOpen = false;
  AudioChunk lastFed;
  std::unique_ptr<AudioConditioner> conditioner;

  std::mutex jobsMutex;
  std::condition_variable jobsReady;
  std::deque<std::shared_ptr<RecognitionStream>> jobs;  // guarded by jobsMutex
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_DECODING_THREAD_H_
