#include "platform/linux/speech/matching/pronouncing_dictionary.h"

#include <algorithm>
#include <fstream>

#include "platform/linux/speech/model_directory.h"

namespace quorvel {

const PronouncingDictionary& PronouncingDictionary::english() {
  static const PronouncingDictionary& dictionary = *[] {
    for (const std::string& root : ModelDirectory::defaultRoots()) {
      for (const auto& folder : sortedEntries(root)) {
        if (normalizedName(folder.filename().string()) != "en-us") continue;
        for (const auto& entry : sortedEntries(folder)) {
          if (entry.extension() == ".dict" && isFile(entry)) {
            return new PronouncingDictionary(entry.string());
          }
        }
      }
    }
    return new PronouncingDictionary(std::string());
  }();
  return dictionary;
}

PronouncingDictionary::PronouncingDictionary(const std::string& file)
    : path(file) {
  // Read a line at a time into one block of words: the dictionary holds
  // over 130,000, and a string each would cost several times their size.
  std::ifstream lines(file);
  for (std::string line; std::getline(lines, line);) {
    std::string_view word(line);
    word = word.substr(0, word.find_first_of(" \t"));
    if (const size_t variant = word.find('(');
        variant != std::string_view::npos && variant > 0) {
      word = word.substr(0, variant);
    }
    if (word.empty()) continue;
    starts.push_back(static_cast<uint32_t>(words.size()));
    for (const char c : word) {
      words += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    words += '\n';
  }
  words.shrink_to_fit();
  std::sort(starts.begin(), starts.end(),
            [this](uint32_t a, uint32_t b) { return at(a) < at(b); });
  starts.erase(
      std::unique(starts.begin(), starts.end(),
                  [this](uint32_t a, uint32_t b) { return at(a) == at(b); }),
      starts.end());
  starts.shrink_to_fit();
}

std::string_view PronouncingDictionary::at(uint32_t start) const {
  std::string_view rest(words);
  rest.remove_prefix(start);
  return rest.substr(0, rest.find('\n'));
}

bool PronouncingDictionary::containsWhole(std::string_view word) const {
  const auto found = std::lower_bound(
      starts.begin(), starts.end(), word,
      [this](uint32_t a, std::string_view w) { return at(a) < w; });
  return found != starts.end() && at(*found) == word;
}

bool PronouncingDictionary::contains(std::string_view word) const {
  if (containsWhole(word)) return true;
  if (word.find('-') == std::string_view::npos) return false;
  for (size_t begin = 0; begin <= word.size();) {
    const size_t end = std::min(word.find('-', begin), word.size());
    if (end == begin || !containsWhole(word.substr(begin, end - begin))) {
      return false;
    }
    begin = end + 1;
  }
  return true;
}

}  // namespace quorvel
