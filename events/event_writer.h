// The event stream: one flat JSON object per line on standard output, and
// the fatal exit. emit may be called from any thread; lines never
// interleave, whatever their length.
#ifndef QUORVEL_EVENTS_EVENT_WRITER_H_
#define QUORVEL_EVENTS_EVENT_WRITER_H_

#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quorvel {

// A string, a boolean or a number.
using EventValue = std::variant<std::string, bool, double>;
// Keys in the order they are written; every record has "type".
using Event = std::vector<std::pair<std::string, EventValue>>;

// The line written in place of a record that cannot be encoded.
inline constexpr std::string_view fallbackLine =
    "{\"type\":\"error\",\"message\":\"json encode failed\",\"fatal\":true}\n";

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);

// The record as one compact JSON line ending in a line feed: every "/"
// escaped, control characters escaped, other non-ASCII as raw UTF-8.
// fallbackLine when a number is not finite or a text is not valid UTF-8.
std::string encodeEvent(const Event& event);

// Writes the whole of line to fd before any other line written through
// here, finishing short writes and retrying interrupted ones. Gives up
// silently on any other write error.
void writeWholeLine(int fd, std::string_view line);

// Encodes event and writes it to standard output at once, unbuffered.
void emit(const Event& event);

// The line {"type":"error","message":message,"fatal":true} as fail writes
// it, for code that must write it without the writer (a signal handler).
std::string fatalRecord(const std::string& message);

// Emits fatalRecord(message) and ends the process with code at once: no
// teardown, no "stopped" record.
[[noreturn]] void fail(const std::string& message, int code = 1);

// Ends the process with status at once, after flushing standard error,
// without running destructors: other threads may still be running.
[[noreturn]] void endProcess(int status);

// Writes one diagnostic line ("quorvel: ...\n", composed by the caller) to
// standard error in one call.
void writeDiagnostic(const std::string& line);

}  // namespace quorvel

#endif  // QUORVEL_EVENTS_EVENT_WRITER_H_
