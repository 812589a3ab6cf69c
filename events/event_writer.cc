#include "events/event_writer.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <mutex>

#include "events/shortest_decimal.h"

namespace quorvel {

bool isValidUtf8(std::string_view text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    const unsigned char c = text[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (n - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      const unsigned char d = text[i + k];
      const unsigned char lo = k == 1 ? low : 0x80;
      const unsigned char hi = k == 1 ? high : 0xBF;
      if (d < lo || d > hi) return false;
    }
    i += length;
  }
  return true;
}

namespace {

bool appendString(std::string& out, std::string_view text) {
  if (!isValidUtf8(text)) return false;
  out += '"';
  for (const char ch : text) {
    const unsigned char c = ch;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '/':
        out += "\\/";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          static const char hex[] = "0123456789abcdef";
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 0xF];
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return true;
}

bool appendValue(std::string& out, const EventValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) {
    return appendString(out, *text);
  }
  if (const auto* flag = std::get_if<bool>(&value)) {
    out += *flag ? "true" : "false";
    return true;
  }
  const double number = std::get<double>(value);
  if (!std::isfinite(number)) return false;
  out += shortestDecimal(number);
  return true;
}

// Serialises lines of every thread; held across the whole write loop.
std::mutex& lineMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

std::string encodeEvent(const Event& event) {
  std::string out = "{";
  bool first = true;
  for (const auto& [key, value] : event) {
    if (!first) out += ',';
    first = false;
    if (!appendString(out, key)) return std::string(fallbackLine);
    out += ':';
    if (!appendValue(out, value)) return std::string(fallbackLine);
  }
  out += "}\n";
  return out;
}

void writeWholeLine(int fd, std::string_view line) {
  std::lock_guard<std::mutex> lock(lineMutex());
  while (!line.empty()) {
    const ssize_t written = ::write(fd, line.data(), line.size());
    if (written >= 0) {
      line.remove_prefix(static_cast<size_t>(written));
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // A parent may hand us a non-blocking pipe: wait until it drains.
      pollfd ready{fd, POLLOUT, 0};
      ::poll(&ready, 1, -1);
    } else if (errno != EINTR) {
      return;
    }
  }
}

void emit(const Event& event) {
  writeWholeLine(STDOUT_FILENO, encodeEvent(event));
}

std::string fatalRecord(const std::string& message) {
  return encodeEvent(
      {{"type", "error"}, {"message", message}, {"fatal", true}});
}

void fail(const std::string& message, int code) {
  writeWholeLine(STDOUT_FILENO, fatalRecord(message));
  endProcess(code);
}

void endProcess(int status) {
  std::fflush(stderr);
  // _exit, not exit: the capture and decoder threads may still be running,
  // and running static destructors under them could crash the exit.
  ::_exit(status);
}

void writeDiagnostic(const std::string& line) {
  // By its length: a NUL in it must not cut the line short.
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace quorvel
