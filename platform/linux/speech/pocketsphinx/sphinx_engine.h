// PocketSphinx as a recognition engine: a model folder holds an acoustic
// model folder, a dictionary and a language model. Its decoders run on
// their models' decoding threads; the rest on any thread.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_POCKETSPHINX_SPHINX_ENGINE_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_POCKETSPHINX_SPHINX_ENGINE_H_

#include <optional>
#include <string>

#include "platform/linux/speech/decoder.h"

namespace quorvel {

// The files of one PocketSphinx model.
struct SphinxFiles {
  std::string acousticModel;  // folder with mdef, means, ...
  std::string dictionary;     // *.dict or *.dic
  std::string languageModel;  // *.lm.bin, *.lm or *.lm.dmp
};

// The model in folder; absent when it holds no complete one.
std::optional<SphinxFiles> sphinxModelIn(const std::string& folder);

// The process's PocketSphinx engine. Its library log goes to the file named
// by QUORVEL_SPHINX_LOG, else nowhere.
Engine& pocketSphinxEngine();

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_POCKETSPHINX_SPHINX_ENGINE_H_
