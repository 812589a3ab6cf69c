// The control commands on standard input: one word a line, read on a
// background thread and acted on by posting the listener's operations to
// the main queue.
#ifndef QUORVEL_APP_COMMAND_READER_H_
#define QUORVEL_APP_COMMAND_READER_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

class ContinuousListener;
class MainQueue;

enum class Command { None, Stop, Pause, Resume };

// The command a line holds once trimmed of whitespace and line breaks and
// lower-cased: "stop", "quit" and "exit" stop; anything else is None.
Command parseCommand(std::string_view line);

// Splits the bytes of a file descriptor into lines, whatever their length
// or encoding. A line longer than maxLineBytes is not kept: it comes back
// as the empty line (no command is that long), and the lines after it are
// read as usual.
class LineReader {
 public:
  static constexpr size_t maxLineBytes = 1 << 20;
  explicit LineReader(int fd) : fd(fd) {}
  // The next line without its line feed; absent at the end of input or on
  // a read error. A last line without a line feed is still returned.
  // Blocks until a line is complete, also on a non-blocking descriptor.
  std::optional<std::string> next();

 private:
  int fd;
  std::string pending;  // bytes read past the last line returned
  bool ended = false;
};

// Reads commands from fd until a stop word or the end of input, posting
// each action to queue. The end of input (or a read error) stops the
// listener too. Blocks; run it on the background queue.
void runCommandReader(int fd, MainQueue& queue,
                      std::shared_ptr<ContinuousListener> listener);

}  // namespace quorvel

#endif  // QUORVEL_APP_COMMAND_READER_H_
