#include "platform/linux/speech/model_directory.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

namespace quorvel {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view installedModelRoot = "/usr/share/pocketsphinx/model";

// Locale identifiers and folder names compare case-insensitively with "_"
// and "-" alike, so "en_US" finds "en-us".
std::string normalized(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (unsigned char c : name) {
    out.push_back(c == '_' ? '-' : static_cast<char>(std::tolower(c)));
  }
  return out;
}

// Sorted so that a choice among several candidates is the same on every
// run, whatever order the file system lists them in.
std::vector<fs::path> sortedEntries(const fs::path& folder) {
  std::vector<fs::path> entries;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    entries.push_back(it->path());
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

bool isFile(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

bool isFolder(const fs::path& path) {
  std::error_code error;
  return fs::is_directory(path, error);
}

// The name of a file without one of suffixes (matched case-insensitively),
// normalized; empty when the name has none of them.
std::string stemOf(const fs::path& file,
                   std::initializer_list<std::string_view> suffixes) {
  const std::string name = normalized(file.filename().string());
  for (std::string_view suffix : suffixes) {
    if (name.size() > suffix.size() && name.ends_with(suffix)) {
      return name.substr(0, name.size() - suffix.size());
    }
  }
  return {};
}

// Among the files of folder with one of suffixes, prefers the one named
// after the folder ("en-us.lm.bin" in "en-us"), then one that is not a
// phonetic model (the Debian folder also holds "en-us-phone.lm.bin", which
// decodes phones, not words), then the first by name.
std::string pickFile(const fs::path& folder,
                     std::initializer_list<std::string_view> suffixes) {
  const std::string folderName = normalized(folder.filename().string());
  std::string best;
  int bestRank = 3;
  for (const fs::path& entry : sortedEntries(folder)) {
    const std::string stem = stemOf(entry, suffixes);
    if (stem.empty() || !isFile(entry)) continue;
    int rank = 2;
    if (stem == folderName) {
      rank = 0;
    } else if (stem.find("phone") == std::string::npos) {
      rank = 1;
    }
    if (rank < bestRank) {
      bestRank = rank;
      best = entry.string();
    }
  }
  return best;
}

std::optional<ModelFiles> modelIn(const fs::path& folder) {
  ModelFiles files;
  for (const fs::path& entry : sortedEntries(folder)) {
    if (isFolder(entry) && isFile(entry / "mdef")) {
      files.acousticModel = entry.string();
      break;
    }
  }
  files.dictionary = pickFile(folder, {".dict", ".dic"});
  files.languageModel = pickFile(folder, {".lm.bin", ".lm.dmp", ".lm"});
  if (files.acousticModel.empty() || files.dictionary.empty() ||
      files.languageModel.empty()) {
    return std::nullopt;
  }
  return files;
}

}  // namespace

std::string ModelDirectory::defaultRoot() {
  const char* configured = std::getenv("QUORVEL_MODEL_DIR");
  if (configured != nullptr && *configured != '\0') return configured;
  return std::string(installedModelRoot);
}

std::optional<ModelFiles> ModelDirectory::find(
    const std::string& localeId) const {
  const std::string wanted = normalized(localeId);
  if (wanted.empty()) return std::nullopt;
  // Only names listed under the root are opened, so an identifier such as
  // "../x" can never lead outside it.
  for (const fs::path& entry : sortedEntries(root)) {
    if (normalized(entry.filename().string()) != wanted || !isFolder(entry)) {
      continue;
    }
    if (std::optional<ModelFiles> files = modelIn(entry)) return files;
  }
  return std::nullopt;
}

}  // namespace quorvel
