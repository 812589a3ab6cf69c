#include "platform/linux/speech/model_directory.h"

#include <algorithm>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "platform/linux/speech/install_layout.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

// Where Debian's pocketsphinx-en-us puts its model.
constexpr std::string_view systemModelRoot = "/usr/share/pocketsphinx/model";

}  // namespace

bool isFile(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

bool isFolder(const fs::path& path) {
  std::error_code error;
  return fs::is_directory(path, error);
}

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

std::string normalizedName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    if (c == '_') c = '-';
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    out.push_back(c);
  }
  return out;
}

std::vector<std::string> ModelDirectory::defaultRoots() {
  std::vector<std::string> roots;
  const char* configured = std::getenv("QUORVEL_MODEL_DIR");
  if (configured != nullptr && *configured != '\0') {
    std::string_view rest = configured;
    while (!rest.empty()) {
      const size_t colon = std::min(rest.find(':'), rest.size());
      if (colon > 0) roots.emplace_back(rest.substr(0, colon));
      rest.remove_prefix(std::min(colon + 1, rest.size()));
    }
    return roots;
  }
  roots = projectModelRoots();
  roots.emplace_back(systemModelRoot);
  return roots;
}

ModelDirectory::ModelDirectory(std::vector<std::string> modelRoots)
    : roots(std::move(modelRoots)) {}

std::vector<ModelChoice> ModelDirectory::find(
    const std::string& localeId, std::span<Engine* const> engines) const {
  std::vector<ModelChoice> choices;
  const std::string wanted = normalizedName(localeId);
  if (wanted.empty()) return choices;
  for (const std::string& root : roots) {
    // Only names listed under the root are opened, so an identifier such
    // as "../x" can never lead outside it.
    for (const fs::path& entry : sortedEntries(root)) {
      if (normalizedName(entry.filename().string()) != wanted ||
          !isFolder(entry)) {
        continue;
      }
      for (Engine* engine : engines) {
        if (engine->hasModel(entry.string())) {
          choices.push_back({engine, entry.string()});
        }
      }
    }
  }
  return choices;
}

}  // namespace quorvel
