// Records of arbitrary keys, texts (any bytes) and numbers (any bit
// pattern) must come out as the fallback line exactly when they cannot be
// encoded, and otherwise as one compact JSON line that a real JSON parser
// reads back to the same record.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "events/event_writer.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/reference_text.h"

namespace quorvel {
namespace {

Event decodeEvent(FuzzedDataProvider& input) {
  Event event;
  const size_t count = input.ConsumeIntegralInRange<size_t>(0, 8);
  for (size_t i = 0; i < count && input.remaining_bytes() > 0; ++i) {
    std::string key = input.ConsumeRandomLengthString(32);
    switch (input.ConsumeIntegralInRange(0, 3)) {
      case 0:
        event.emplace_back(std::move(key), input.ConsumeRandomLengthString());
        break;
      case 1:
        event.emplace_back(std::move(key), input.ConsumeBool());
        break;
      case 2:
        // Any bit pattern: NaN, infinities, subnormals, negative zero.
        event.emplace_back(
            std::move(key),
            std::bit_cast<double>(input.ConsumeIntegral<uint64_t>()));
        break;
      default: {
        // Plain numbers, the kind the helper writes.
        const double numerator = input.ConsumeIntegral<int32_t>();
        event.emplace_back(std::move(key),
                           numerator / input.ConsumeIntegralInRange(1, 1000));
      }
    }
  }
  return event;
}

bool encodable(const Event& event) {
  for (const auto& [key, value] : event) {
    if (!referenceIsUtf8(key)) return false;
    if (const auto* text = std::get_if<std::string>(&value)) {
      if (!referenceIsUtf8(*text)) return false;
    } else if (const auto* number = std::get_if<double>(&value)) {
      if (!std::isfinite(*number)) return false;
    }
  }
  return true;
}

// Framing and escaping, checked on the bytes: one line feed at the end and
// no other control character, no space between tokens, every '/' escaped.
void checkBytes(const std::string& line) {
  if (line.empty() || line.back() != '\n') propertyBroken("no final line feed");
  bool inString = false;
  bool escaped = false;
  for (size_t i = 0; i + 1 < line.size(); ++i) {
    const unsigned char c = line[i];
    if (c < 0x20) propertyBroken("raw control character", line);
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      } else if (c == '/') {
        propertyBroken("unescaped '/'", line);
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == ' ' || c == '/') {
      propertyBroken("space or '/' between tokens", line);
    }
  }
  if (inString) propertyBroken("unterminated string", line);
}

bool sameValue(const nlohmann::ordered_json& read, const EventValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) {
    return read.is_string() && read.get<std::string>() == *text;
  }
  if (const auto* flag = std::get_if<bool>(&value)) {
    return read.is_boolean() && read.get<bool>() == *flag;
  }
  // Shortest round-trip digits must read back to the very same double
  // (negative zero may read back as zero).
  return read.is_number() && read.get<double>() == std::get<double>(value);
}

}  // namespace
}  // namespace quorvel

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quorvel;
  FuzzedDataProvider input(data, size);
  const Event event = decodeEvent(input);
  const std::string line = encodeEvent(event);

  if (!encodable(event)) {
    if (line != fallbackLine)
      propertyBroken("expected the fallback line", line);
    return 0;
  }
  checkBytes(line);

  const auto read = nlohmann::ordered_json::parse(
      line.begin(), line.end() - 1, nullptr, /*allow_exceptions=*/false);
  if (!read.is_object()) propertyBroken("not a JSON object", line);

  // The parser keeps the last value of a repeated key, at the place of
  // its first occurrence.
  std::map<std::string, size_t> last;
  std::vector<std::string> order;
  for (size_t i = 0; i < event.size(); ++i) {
    if (last.emplace(event[i].first, i).second) {
      order.push_back(event[i].first);
    } else {
      last[event[i].first] = i;
    }
  }
  if (read.size() != order.size()) propertyBroken("key count differs", line);
  size_t position = 0;
  for (const auto& [key, value] : read.items()) {
    if (key != order[position++]) propertyBroken("key order differs", line);
    if (!sameValue(value, event[last.at(key)].second)) {
      propertyBroken("value differs for key " + key, line);
    }
  }
  return 0;
}
