// sherpa-onnx as a recognition engine, for streaming transducers: a model
// folder holds encoder*.onnx, decoder*.onnx, joiner*.onnx and tokens.txt.
// Its decoders run on their models' decoding threads; the rest on any
// thread.
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
};

// The transducer in folder; absent when it holds no complete one. Where a
// part comes both quantized (*.int8.onnx) and not, the int8 file is taken.
std::optional<TransducerFiles> transducerIn(const std::string& folder);

// The process's sherpa-onnx engine: it has a model in a folder only when
// the folder holds a transducer and the runtime is usable (SherpaRuntime).
Engine& sherpaOnnxEngine();

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_SHERPA_SHERPA_ENGINE_H_
