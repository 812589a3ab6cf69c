// Whatever bytes a parent writes, the line reader gives back a plain split
// at line feeds, with every line longer than LineReader::maxLineBytes
// emptied; and the command a line holds does not depend on the user's
// locale, whose case rules ICU would otherwise apply ("QUIT" becomes "quıt"
// in Turkish).
//
// Input: the first byte picks ICU's default locale; the rest is the stream,
// where 0xFE c h l stands for a run of byte c: l bytes (h < 0x40), around
// maxLineBytes (h < 0x80) or up to 2 MiB, so that short inputs reach the
// limit.
#include <sys/mman.h>
#include <unicode/uloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_reader.h"

using quorvel::LineReader;

namespace {

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "property broken: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const locales[] = {"",      "en_US", "de_DE", "tr_TR",
                                        "az_AZ", "lt_LT", "el_GR", "nl_NL"};
  if (size == 0) return 0;
  std::string stream;
  for (size_t i = 1; i < size; ++i) {
    if (data[i] != 0xFE || size - i < 4) {
      stream += static_cast<char>(data[i]);
      continue;
    }
    const uint8_t high = data[i + 2], low = data[i + 3];
    const size_t length = high < 0x40   ? low
                          : high < 0x80 ? LineReader::maxLineBytes - 128 + low
                                        : size_t((high & 0x7F) << 8 | low) * 64;
    // A million empty lines would only slow the search down.
    const char c = length > 256 && data[i + 1] == '\n' ? ' ' : data[i + 1];
    stream.append(std::min(length, (3u << 20) - stream.size()), c);
    i += 3;
  }

  const int fd = memfd_create("commands", MFD_CLOEXEC);
  if (fd < 0 ||
      write(fd, stream.data(), stream.size()) != ssize_t(stream.size()) ||
      lseek(fd, 0, SEEK_SET) != 0) {
    broken("cannot stage the stream");
  }
  LineReader reader(fd);
  std::vector<std::string> lines;
  while (std::optional<std::string> line = reader.next())
    lines.push_back(*line);
  close(fd);
  std::vector<std::string> split;
  for (size_t start = 0; start < stream.size();) {
    const size_t feed = std::min(stream.find('\n', start), stream.size());
    split.push_back(feed - start > LineReader::maxLineBytes
                        ? ""
                        : stream.substr(start, feed - start));
    start = feed + 1;
  }
  if (lines != split) broken("the lines differ from a plain split");

  UErrorCode status = U_ZERO_ERROR;
  std::vector<quorvel::Command> commands;
  uloc_setDefault(locales[data[0] % std::size(locales)], &status);
  for (const std::string& line : lines)
    commands.push_back(quorvel::parseCommand(line));
  uloc_setDefault("en_US", &status);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (quorvel::parseCommand(lines[i]) != commands[i]) {
      broken("a command depends on the locale");
    }
  }
  return 0;
}
