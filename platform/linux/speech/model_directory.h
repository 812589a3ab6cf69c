// Where recognition models live: QUORVEL_MODEL_DIR, else
// /usr/share/pocketsphinx/model. A locale has a model when
// <root>/<identifier> holds a PocketSphinx model.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_MODEL_DIRECTORY_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_MODEL_DIRECTORY_H_

#include <optional>
#include <string>
#include <utility>

namespace quorvel {

// The files of one PocketSphinx model.
struct ModelFiles {
  std::string acousticModel;  // folder with mdef, means, ...
  std::string dictionary;     // *.dict or *.dic
  std::string languageModel;  // *.lm.bin, *.lm or *.lm.dmp
};

class ModelDirectory {
 public:
  static std::string defaultRoot();  // QUORVEL_MODEL_DIR or the default
  explicit ModelDirectory(std::string root) : root(std::move(root)) {}
  // The model for localeId, matched case-insensitively with "_" and "-"
  // alike among the folders under the root ("en-US" and "en_us" both find
  // "en-us"); absent when no folder matches or it holds no complete model.
  std::optional<ModelFiles> find(const std::string& localeId) const;

 private:
  std::string root;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_MODEL_DIRECTORY_H_
