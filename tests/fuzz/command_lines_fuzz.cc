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
#include <thread>

#include "app/command_reader.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/reference_text.h"

namespace quorvel {
namespace {

constexpr std::array<const char*, 8> locales = {
    "", "en_US", "de_DE", "tr_TR", "az_AZ", "lt_LT", "el_GR", "nl_NL"};

std::string decodeStream(const uint8_t* data, size_t size) {
  std::string stream;
  for (size_t i = 0; i < size;) {
    const uint8_t byte = data[i++];
    if (byte != 0xFE || size - i < 3) {
      stream += static_cast<char>(byte);
      continue;
    }
    char repeated = static_cast<char>(data[i]);
    const uint8_t high = data[i + 1], low = data[i + 2];
    i += 3;
    size_t length = high < 0x40   ? low
                    : high < 0x80 ? LineReader::maxLineBytes - 128 +
                                        ((high << 8 | low) % 256)
                                  : size_t((high & 0x7F) << 8 | low) * 64;
    // A million empty lines would only slow the search down.
    if (length > 256 && repeated == '\n') repeated = ' ';
    stream.append(std::min(length, (3u << 20) - stream.size()), repeated);
  }
  return stream;
}

Command referenceCommand(std::string_view line) {
  std::string word(referenceTrimmed(line));
  // Only ASCII letters can lower-case into a command word.
  for (char& c : word) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (word == "stop" || word == "quit" || word == "exit") return Command::Stop;
  if (word == "pause") return Command::Pause;
  return word == "resume" ? Command::Resume : Command::None;
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
    for (size_t done = 0; done < stream.size();) {
      const ssize_t n = write(out, stream.data() + done, stream.size() - done);
      if (n <= 0) break;
      done += n;
    }
    close(out);
  });
  LineReader reader(fds[0]);
  for (size_t start = 0;;) {
    const std::optional<std::string> line = reader.next();
    if (start >= stream.size()) {
      if (line) propertyBroken("a line after the end of input", shown(*line));
      break;
    }
    const size_t feed = std::min(stream.find('\n', start), stream.size());
    // No command is that long: such a line counts as an empty one.
    const std::string want = feed - start > LineReader::maxLineBytes
                                 ? ""
                                 : stream.substr(start, feed - start);
    start = feed + 1;
    if (!line) propertyBroken("input ended early, missing line", shown(want));
    if (*line != want) {
      propertyBroken("line differs",
                     "got " + shown(*line) + "\n  want " + shown(want));
    }
    const Command command = referenceCommand(*line);
    if (parseCommand(*line) != command) {
      propertyBroken("command differs for line", shown(*line));
    }
    if (command == Command::Stop) break;
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
