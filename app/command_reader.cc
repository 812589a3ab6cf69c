#include "app/command_reader.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include "listener/continuous_listener.h"
#include "listener/text.h"
#include "platform/dispatch.h"

namespace quorvel {

Command parseCommand(std::string_view line) {
  const std::string word = lowercased(trimmed(line));
  if (word == "stop" || word == "quit" || word == "exit") return Command::Stop;
  if (word == "pause") return Command::Pause;
  if (word == "resume") return Command::Resume;
  return Command::None;
}

std::optional<std::string> LineReader::next() {
  bool overlong = false;
  size_t scanned = 0;
  while (true) {
    const size_t newline = pending.find('\n', scanned);
    if (newline != std::string::npos) {
      const bool tooLong = overlong || newline > maxLineBytes;
      std::string line = tooLong ? std::string() : pending.substr(0, newline);
      pending.erase(0, newline + 1);
      return line;
    }
    if (pending.size() > maxLineBytes) {
      // Keep memory bounded: drop what we have and remember to drop the
      // rest of the line too.
      overlong = true;
      pending.clear();
    }
    scanned = pending.size();
    if (ended) {
      if (pending.empty() && !overlong) return std::nullopt;
      const bool tooLong = overlong || pending.size() > maxLineBytes;
      std::string line = tooLong ? std::string() : std::move(pending);
      pending.clear();
      return line;
    }
    char chunk[4096];
    const ssize_t count = ::read(fd, chunk, sizeof chunk);
    if (count > 0) {
      pending.append(chunk, static_cast<size_t>(count));
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A parent may hand us a non-blocking descriptor (the flag belongs
      // to a file description it shares with us): no input yet is not
      // the end of it, so wait for some.
      pollfd ready{fd, POLLIN, 0};
      ::poll(&ready, 1, -1);
    } else {
      ended = true;
    }
  }
}

void runCommandReader(int fd, MainQueue& queue,
                      std::shared_ptr<ContinuousListener> listener) {
  LineReader reader(fd);
  while (true) {
    const std::optional<std::string> line = reader.next();
    const Command command = line ? parseCommand(*line) : Command::Stop;
    switch (command) {
      case Command::Stop:
        queue.async([listener] { listener->stop(/*thenExit=*/true); });
        return;
      case Command::Pause:
        queue.async([listener] { listener->pauseListening(); });
        break;
      case Command::Resume:
        queue.async([listener] { listener->resumeListening(); });
        break;
      case Command::None:
        break;
    }
  }
}

}  // namespace quorvel
