#include "phrases/phrase_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "events/event_writer.h"

namespace quorvel {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// line without blanks at either end, each inner run of them one space.
std::string collapsed(std::string_view line) {
  std::string text;
  bool blank = false;
  for (const char c : line) {
    if (isBlank(c)) {
      blank = !text.empty();
      continue;
    }
    if (blank) text += ' ';
    blank = false;
    text += c;
  }
  return text;
}

// C0 and DEL, but for the blanks: a NUL would cut a diagnostic short, and
// an escape sequence would reach the parent's terminal.
bool hasControlCharacter(std::string_view line) {
  return std::any_of(line.begin(), line.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 || byte == 0x7F) && !isBlank(c);
  });
}

// The lines of one kind of problem in a reading: the first, and how many.
struct Unused {
  std::string what;
  size_t count = 0, first = 0;
  void add(size_t line) {
    if (count++ == 0) first = line;
  }
};

}  // namespace

ParsedPhrases parsePhrases(std::string_view text, bool truncated,
                           const std::string& file) {
  ParsedPhrases parsed;
  const std::string about = "quorvel: the phrases file " + file;
  // Some editors begin a UTF-8 file with a byte order mark.
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  if (truncated) {
    // The line the limit cut, if any, goes with the rest.
    text = text.substr(0, text.rfind('\n') + 1);
    parsed.problems.push_back(
        about + " is larger than 64 KiB; line " +
        std::to_string(std::count(text.begin(), text.end(), '\n') + 1) +
        " and those after it are not used\n");
  }
  Unused notUtf8{"not UTF-8 text"}, control{"a control character"},
      tooLong{"longer than " + std::to_string(maxPhraseBytes) + " bytes"};
  size_t number = 0;
  for (size_t begin = 0; begin < text.size();) {
    const size_t end = std::min(text.find('\n', begin), text.size());
    const std::string_view line = text.substr(begin, end - begin);
    begin = end + 1;
    ++number;
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos || line[first] == '#') continue;
    if (!isValidUtf8(line)) {
      notUtf8.add(number);
      continue;
    }
    if (hasControlCharacter(line)) {
      control.add(number);
      continue;
    }
    if (parsed.phrases.size() == maxPhrases) {
      parsed.problems.push_back(about + " holds more than " +
                                std::to_string(maxPhrases) + " phrases; line " +
                                std::to_string(number) +
                                " and those after it are not used\n");
      break;
    }
    // "written<TAB>spoken": how the phrase sounds, in ordinary spelling.
    const std::string_view trimmed =
        line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
    const size_t tab = trimmed.find('\t');
    Phrase phrase{collapsed(trimmed.substr(0, tab)),
                  tab == std::string_view::npos
                      ? std::string()
                      : collapsed(trimmed.substr(tab + 1)),
                  number};
    if (phrase.text.size() + phrase.spoken.size() > maxPhraseBytes) {
      tooLong.add(number);
      continue;
    }
    parsed.phrases.push_back(std::move(phrase));
  }
  for (const Unused* kind : {&notUtf8, &control, &tooLong}) {
    if (kind->count == 0) continue;
    parsed.problems.push_back(
        about + ", line " + std::to_string(kind->first) + ": " + kind->what +
        "; the line " +
        (kind->count == 1
             ? std::string("is")
             : "and " + std::to_string(kind->count - 1) + " more like it are") +
        " not used\n");
  }
  return parsed;
}

std::shared_ptr<const PhraseList> PhraseFile::current() {
  // Only a regular file is opened: opening a device may act on it, and a
  // FIFO would wait for a writer.
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    reportFailure(std::strerror(errno));
    return list;
  }
  // Nanoseconds through the standard library, since the two platforms
  // name them differently in struct stat. Taken before the reading, so
  // that a change while it reads shows at the next look.
  std::error_code error;
  const auto modified = std::filesystem::last_write_time(path, error);
  const Version version{static_cast<uint64_t>(info.st_dev),
                        static_cast<uint64_t>(info.st_ino),
                        static_cast<int64_t>(info.st_size),
                        std::chrono::duration_cast<std::chrono::nanoseconds>(
                            modified.time_since_epoch())
                            .count()};
  if (readVersion == version && lastFailure.empty()) return list;
  const int fd = S_ISREG(info.st_mode)
                     ? open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)
                     : -1;
  if (fd < 0) {
    reportFailure(S_ISREG(info.st_mode) ? std::strerror(errno)
                                        : "Not a regular file");
    return list;
  }
  std::string failure;
  // Another file may have taken the name since the look.
  std::shared_ptr<const PhraseList> fresh =
      fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? read(fd, failure)
                                                     : nullptr;
  close(fd);
  if (!fresh) {
    reportFailure(failure.empty() ? "Not a regular file" : failure);
    return list;
  }
  readVersion = version;
  lastFailure.clear();
  list = std::move(fresh);
  return list;
}

std::shared_ptr<const PhraseList> PhraseFile::read(int fd,
                                                   std::string& failure) {
  // One byte more than the limit tells a file that holds more.
  std::string text(maxPhraseFileBytes + 1, '\0');
  size_t length = 0;
  while (length < text.size()) {
    const ssize_t got = ::read(fd, text.data() + length, text.size() - length);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      failure = std::strerror(errno);
      return nullptr;
    }
    if (got == 0) break;
    length += static_cast<size_t>(got);
  }
  text.resize(std::min(length, maxPhraseFileBytes));
  ParsedPhrases parsed = parsePhrases(text, length > maxPhraseFileBytes, path);
  for (const std::string& problem : parsed.problems) writeDiagnostic(problem);
  const size_t count = parsed.phrases.size();
  writeDiagnostic("quorvel: read " + std::to_string(count) +
                  (count == 1 ? " phrase" : " phrases") + " from " + path +
                  "\n");
  return std::make_shared<const PhraseList>(
      PhraseList{path, std::move(parsed.phrases)});
}

void PhraseFile::reportFailure(const std::string& reason) {
  if (reason == lastFailure) return;
  lastFailure = reason;
  writeDiagnostic("quorvel: cannot read the phrases file " + path + ": " +
                  reason + "\n");
}

}  // namespace quorvel
