// Arbitrary bytes on the command pipe must give exactly the commands that a
// small reference model of the rules gives, in order: lines split at line
// feeds, lines longer than LineReader::maxLineBytes dropped, each line
// trimmed and lower-cased and compared whole, nothing read after a stop
// word, a stop at the end of input. Whatever the user's locale.
//
// Input: the first byte picks the ICU default locale (the user's locale
// decides ICU's case rules); the rest is the byte stream, where 0xFE c h l
// stands for a run of byte c whose length h and l choose: short (h < 0x40),
// around maxLineBytes (h < 0x80) or up to 2 MiB (not of line feeds).
#include <signal.h>
#include <unicode/locid.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/command_reader.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/reference_text.h"

namespace quorvel {
namespace {

constexpr size_t maxStreamBytes = 3 << 20;
constexpr uint8_t runMarker = 0xFE;

constexpr std::array<const char*, 8> locales = {
    "", "en_US", "de_DE", "tr_TR", "az_AZ", "lt_LT", "el_GR", "nl_NL"};

std::string decodeStream(const uint8_t* data, size_t size) {
  std::string stream;
  for (size_t i = 0; i < size;) {
    const uint8_t byte = data[i++];
    if (byte != runMarker || size - i < 3) {
      stream += static_cast<char>(byte);
      continue;
    }
    char repeated = static_cast<char>(data[i]);
    const uint8_t high = data[i + 1], low = data[i + 2];
    i += 3;
    size_t length;
    if (high < 0x40) {
      length = low;
    } else if (high < 0x80) {
      length = LineReader::maxLineBytes - 128 + ((high << 8 | low) % 256);
    } else {
      length = static_cast<size_t>((high & 0x7F) << 8 | low) * 64;
    }
    // Long runs are of anything but line feeds: a million empty lines
    // would only slow the search down.
    if (length > 256 && repeated == '\n') repeated = ' ';
    length = std::min(length, maxStreamBytes - stream.size());
    stream.append(length, repeated);
  }
  return stream;
}

std::vector<std::string> referenceLines(const std::string& stream) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < stream.size();) {
    const size_t feed = stream.find('\n', start);
    const size_t end = feed == std::string::npos ? stream.size() : feed;
    // No command is that long: such a line counts as an empty one.
    lines.push_back(end - start > LineReader::maxLineBytes
                        ? std::string()
                        : stream.substr(start, end - start));
    if (feed == std::string::npos) break;
    start = feed + 1;
  }
  return lines;
}

Command referenceCommand(const std::string& line) {
  const std::string_view trimmed = referenceTrimmed(line);
  if (trimmed.size() > 6) return Command::None;  // longer than every command
  std::string word(trimmed);
  // Only ASCII letters can lower-case into a command word.
  for (char& c : word) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (word == "stop" || word == "quit" || word == "exit") return Command::Stop;
  if (word == "pause") return Command::Pause;
  if (word == "resume") return Command::Resume;
  return Command::None;
}

std::string shown(const std::string& line) {
  return line.size() <= 80 ? line
                           : line.substr(0, 80) + "... (" +
                                 std::to_string(line.size()) + " bytes)";
}

void check(const std::string& stream) {
  int fds[2];
  if (pipe(fds) != 0) propertyBroken("pipe failed");
  // The reader may stop before the writer is done: closing the read end
  // then ends the write with EPIPE (SIGPIPE is ignored).
  std::thread writer([&stream, out = fds[1]] {
    size_t done = 0;
    while (done < stream.size()) {
      const ssize_t n =
          ::write(out, stream.data() + done, stream.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(out);
  });

  const std::vector<std::string> expected = referenceLines(stream);
  LineReader reader(fds[0]);
  size_t index = 0;
  for (;; ++index) {
    const std::optional<std::string> line = reader.next();
    if (index == expected.size()) {
      if (line) propertyBroken("a line after the end of input", shown(*line));
      break;
    }
    if (!line) {
      propertyBroken("input ended early, missing line", shown(expected[index]));
    }
    if (*line != expected[index]) {
      propertyBroken("line differs", "got " + shown(*line) + "\n  want " +
                                         shown(expected[index]));
    }
    const Command want = referenceCommand(*line);
    if (parseCommand(*line) != want) {
      propertyBroken("command differs for line", shown(*line));
    }
    if (want == Command::Stop) break;
  }
  close(fds[0]);
  writer.join();
}

}  // namespace
}  // namespace quorvel

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  signal(SIGPIPE, SIG_IGN);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(
      icu::Locale(quorvel::locales[data[0] % quorvel::locales.size()]), status);
  quorvel::check(quorvel::decodeStream(data + 1, size - 1));
  return 0;
}
