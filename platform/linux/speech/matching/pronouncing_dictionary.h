// The words of an English pronouncing dictionary (the CMU dictionary, as
// PocketSphinx's en-us model ships it): what counts as an ordinary word,
// which phrase matching must not take for a listed name that merely
// sounds near it. Read once; any thread.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_MATCHING_PRONOUNCING_DICTIONARY_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_MATCHING_PRONOUNCING_DICTIONARY_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

class PronouncingDictionary {
 public:
  // The first *.dict file of a folder named en-us in the model roots
  // (ModelDirectory::defaultRoots), read on the first call; empty when
  // there is none.
  static const PronouncingDictionary& english();

  // The words of file, whose lines start with a word, a variant marked
  // "word(2)"; empty when it cannot be read.
  explicit PronouncingDictionary(const std::string& file);

  bool empty() const { return starts.empty(); }
  // Whether word (lower case) is in the dictionary; a hyphenated word when
  // each of its parts is.
  bool contains(std::string_view word) const;
  const std::string& file() const { return path; }

 private:
  bool containsWhole(std::string_view word) const;
  std::string_view at(uint32_t start) const;

  std::string path;
  std::string words;             // each ends with '\n'
  std::vector<uint32_t> starts;  // of the words, in their sorted order
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_MATCHING_PRONOUNCING_DICTIONARY_H_
