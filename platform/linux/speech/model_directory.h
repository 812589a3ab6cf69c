// Where recognition models live: a list of roots, searched in order. A
// locale's models are in <root>/<identifier>; each engine says which of
// those folders hold a model of its own. Any thread.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_MODEL_DIRECTORY_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_MODEL_DIRECTORY_H_

#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/speech/decoder.h"

namespace quorvel {

// One engine's model for a locale.
struct ModelChoice {
  Engine* engine = nullptr;
  std::string folder;
};

class ModelDirectory {
 public:
  // QUORVEL_MODEL_DIR, a colon-separated list; else the project's own
  // model roots, then /usr/share/pocketsphinx/model.
  static std::vector<std::string> defaultRoots();

  explicit ModelDirectory(std::vector<std::string> roots);

  // The models for localeId, best first: root after root; in a root, the
  // folders whose name matches localeId case-insensitively with "_" and
  // "-" alike ("en-US" and "en_us" both find "en-us"), by name; in a
  // folder, the engines with a model there, in the order given. Empty when
  // no folder matches or none holds a model.
  std::vector<ModelChoice> find(const std::string& localeId,
                                std::span<Engine* const> engines) const;

 private:
  std::vector<std::string> roots;
};

// The entries of folder sorted by name, so that a choice among several is
// the same on every run; empty when the folder cannot be read.
std::vector<std::filesystem::path> sortedEntries(
    const std::filesystem::path& folder);
// A name as locale identifiers compare: ASCII lower case, "_" read as "-".
std::string normalizedName(std::string_view name);
// Whether path is a regular file, or a folder (links followed); false when
// it cannot be looked at.
bool isFile(const std::filesystem::path& path);
bool isFolder(const std::filesystem::path& path);

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_MODEL_DIRECTORY_H_
