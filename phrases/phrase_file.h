// The phrase file of `quorvel --phrases FILE`: words and phrases that
// recognition should expect, one a line. It is read when the first segment
// starts and read again at a segment start whenever it has changed, so a
// parent switches vocabularies by replacing the file. Main queue.
#ifndef QUORVEL_PHRASES_PHRASE_FILE_H_
#define QUORVEL_PHRASES_PHRASE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/speech.h"

namespace quorvel {

inline constexpr size_t maxPhrases = 1000;
inline constexpr size_t maxPhraseFileBytes = 64 * 1024;
// A phrase, its spoken form included; a longer line is no phrase.
inline constexpr size_t maxPhraseBytes = 200;

// A reading of the file: its usable phrases, and one diagnostic line (with
// "quorvel: " and the line feed) for each kind of problem found.
struct ParsedPhrases {
  std::vector<Phrase> phrases;
  std::vector<std::string> problems;
};

// The phrases of text, the first maxPhraseFileBytes of file; truncated
// when the file holds more, so that its last line may be cut. A line is
// a phrase once trimmed of spaces and tabs (and a carriage return); a tab
// inside it separates the phrase from its spoken form, and each has its
// inner runs of blanks made one space. Blank lines and lines that start
// with "#" are skipped, and so are lines that are not UTF-8, hold a
// control character or are longer than maxPhraseBytes. At most maxPhrases
// are kept.
ParsedPhrases parsePhrases(std::string_view text, bool truncated,
                           const std::string& file);

class PhraseFile {
 public:
  explicit PhraseFile(std::string path) : path(std::move(path)) {}

  // The phrases for a segment that starts now. Reads the file when it is
  // another file or has changed (size, modification time) since the last
  // reading, writing the reading's diagnostics; otherwise, or when the
  // file cannot be read, returns the last list read (null before any).
  // A file that cannot be read gets one line each time the reason
  // changes, so a missing file does not repeat it at every segment.
  std::shared_ptr<const PhraseList> current();

 private:
  struct Version {
    uint64_t device = 0, inode = 0;
    int64_t size = 0, modified = 0;  // modified: nanoseconds
    bool operator==(const Version&) const = default;
  };

  // The list read from an opened file; null, with failure set, when it
  // cannot be read.
  std::shared_ptr<const PhraseList> read(int fd, std::string& failure);
  void reportFailure(const std::string& reason);

  const std::string path;
  std::optional<Version> readVersion;  // of the file last read
  std::string lastFailure;             // empty after a reading
  std::shared_ptr<const PhraseList> list;
};

}  // namespace quorvel

#endif  // QUORVEL_PHRASES_PHRASE_FILE_H_
