// One PocketSphinx model, loaded at most once per process and kept warm for
// its life, with the one decoding thread that owns its decoder and decodes
// the streams handed to it one after another, in order.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_POCKETSPHINX_SPHINX_MODEL_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_POCKETSPHINX_SPHINX_MODEL_H_

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/linux/speech/model_directory.h"
#include "platform/linux/speech/recognition_stream.h"

struct ps_decoder_s;

namespace quorvel {

class SphinxModel {
 public:
  // The process's one model object for files; cheap, loads nothing.
  static std::shared_ptr<SphinxModel> forFiles(const ModelFiles& files);

  SphinxModel(const SphinxModel&) = delete;
  SphinxModel& operator=(const SphinxModel&) = delete;

  // Loads the model and starts its decoding thread on the first call, which
  // blocks for the load; later calls answer at once. A failed load is not
  // retried. Any thread.
  bool load();
  // Decodes stream after the streams queued before it, delivering its
  // results through the stream. A model that cannot load ends the stream
  // with an error. Any thread.
  void decode(std::shared_ptr<RecognitionStream> stream);

 private:
  // Private: a loaded model must stay in the process-wide cache, since its
  // decoding thread uses it to the end.
  explicit SphinxModel(ModelFiles files);
  void run();  // the decoding thread
  void decodeOne(RecognitionStream& stream);

  const ModelFiles files;

  std::mutex loadMutex;
  std::optional<bool> loaded;  // guarded by loadMutex; set once
  // Owned by the decoding thread once it runs; never freed, since the
  // model stays warm until the process ends.
  ps_decoder_s* decoder = nullptr;
  double sampleRate = 16000;  // hertz, the decoder's -samprate

  std::mutex jobsMutex;
  std::condition_variable jobsReady;
  std::deque<std::shared_ptr<RecognitionStream>> jobs;  // guarded
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_POCKETSPHINX_SPHINX_MODEL_H_
