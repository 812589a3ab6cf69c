// sherpa-onnx as a recognition engine, for streaming transducers: a model
// folder holds encoder*.onnx, decoder*.onnx, joiner*.onnx and tokens.txt,
// and for phrases the tokeniser's pieces, bpe.vocab. Its decoders run on
// their models' decoding threads; the rest on any thread.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_SHERPA_SHERPA_ENGINE_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_SHERPA_SHERPA_ENGINE_H_

#include <optional>
#include <string>

#include "platform/linux/speech/decoder.h"

namespace quorvel {

// The files of one streaming transducer.
struct TransducerFiles {
  std::string encoder;
  std::string decoder;
  std::string joiner;
  std::string tokens;
  std::string bpeVocab;  // empty when there is none
};

// The transducer in folder; absent when it holds no complete one. Where a
// part comes both quantized (*.int8.onnx) and not, the int8 file is taken.
std::optional<TransducerFiles> transducerIn(const std::string& folder);

// The process's sherpa-onnx engine: it has a model in a folder only when
// the folder holds a transducer and the runtime is usable (SherpaRuntime).
// Expecting phrases, it loads a transducer that has a usable bpe.vocab
// for modified beam search, with phrases as hotwords; otherwise for greedy
// search, which costs less and hears as well without them.
Engine& sherpaOnnxEngine();

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_SHERPA_SHERPA_ENGINE_H_
