// The seam between the engine-neutral speech service and a recognition
// engine: an Engine says which model folders it can run and loads one into
// a Decoder, which the model's decoding thread alone then uses, utterance
// after utterance, until the process ends.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_DECODER_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_DECODER_H_

#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/speech.h"

namespace quorvel {

// One loaded model. Every call runs on its decoding thread, inside an
// engine call (see DecodingThread): a library failure that would end the
// process ends it there, with status 3. An utterance may outlast the task
// it began in: cut() hands what follows the words a task reported to the
// next.
class Decoder {
 public:
  virtual ~Decoder() = default;
  // The rate of the samples fed, in hertz (the model's); always mono.
  virtual double sampleRate() const { return 16000; }
  // The number of samples after which the engine's framing of the audio
  // repeats: audio left out of an utterance in whole multiples of it leaves
  // the rest framed, and decoded, as it would have been.
  virtual size_t framing() const { return 160; }  // 10 ms frames
  // Starts an utterance, dropping one that was not ended; false when the
  // engine cannot.
  virtual bool beginUtterance() = 0;
  // The phrases to expect from here on, before a task's first audio; the
  // same list again for every task until the file is read anew (null: no
  // phrase file). An engine that uses them switches to a new list within
  // an utterance without losing its audio; one that cannot use a phrase
  // says so on standard error, once per list, and one that uses none says
  // so once.
  virtual void usePhrases(std::shared_ptr<const PhraseList> phrases) = 0;
  // Adds samples in [-1, 1] to the utterance; false when the engine fails.
  virtual bool feed(std::span<const float> samples) = 0;
  // The text since the utterance began or was last cut: lower-case words,
  // single spaces.
  virtual std::string text() = 0;
  // The first `words` words of text() are taken: from now on text() holds
  // only what follows them, the words already decoded after them first.
  // The utterance goes on, with its acoustic context.
  virtual void cut(size_t words) = 0;
  // Ends the utterance; its final text in the form of text(), or nothing
  // when the engine fails.
  virtual std::optional<std::string> endUtterance() = 0;
};

// A recognition engine. One object per process, used from any thread.
class Engine {
 public:
  virtual ~Engine() = default;
  // For diagnostics: "sherpa-onnx", "PocketSphinx".
  virtual const char* name() const = 0;
  // Whether folder holds a complete model of this engine and the engine can
  // run here. Looks at files only, apart from loading the engine's library
  // once per process.
  virtual bool hasModel(const std::string& folder) = 0;
  // The process takes phrases (a phrase file was named): models loaded
  // from now on are made ready for them, where that costs something
  // (sherpa-onnx's beam search); without, they load for plain decoding.
  virtual void expectPhrases() {}
  // Loads the model in folder; null, with failure set, when it cannot.
  // Runs on the model's decoding thread inside an engine call.
  virtual std::unique_ptr<Decoder> load(const std::string& folder,
                                        std::string& failure) = 0;
};

// For an engine library's own fatal-error hook, which would end the process
// after it returns: on a decoding thread inside an engine call, ends the
// process as a crash there does, with reason as the model's failure (see
// DecodingThread); elsewhere returns at once.
void endProcessOnFatalEngineError(const char* reason);

// Writes "quorvel: " + text as one line on standard error, in one call.
void writeEngineDiagnostic(const std::string& text);

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_DECODER_H_
