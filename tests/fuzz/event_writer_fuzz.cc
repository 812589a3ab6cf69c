// Records of arbitrary keys, texts (any bytes) and numbers (any bit
// pattern) must come out as the fallback line exactly when they cannot be
// encoded, and otherwise as one compact JSON line that a real JSON parser
// reads back to the same record.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cmath>
#include <map>
#include <nlohmann/json.hpp>

#include "events/event_writer.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/reference_text.h"

using namespace quorvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  Event event;
  bool encodable = true;
  const size_t count = input.ConsumeIntegralInRange<size_t>(0, 8);
  for (size_t i = 0; i < count && input.remaining_bytes() > 0; ++i) {
    std::string key = input.ConsumeRandomLengthString(32);
    encodable = encodable && referenceIsUtf8(key);
    const int kind = input.ConsumeIntegralInRange(0, 3);
    if (kind == 0) {
      event.emplace_back(key, input.ConsumeRandomLengthString());
      encodable =
          encodable && referenceIsUtf8(std::get<0>(event.back().second));
    } else if (kind == 1) {
      event.emplace_back(key, input.ConsumeBool());
    } else {
      // Any bit pattern (NaN, infinities, subnormals, negative zero), or a
      // plain number of the kind the helper writes.
      double number =
          kind == 2 ? std::bit_cast<double>(input.ConsumeIntegral<uint64_t>())
                    : input.ConsumeIntegral<int32_t>();
      if (kind == 3) number /= input.ConsumeIntegralInRange(1, 1000);
      event.emplace_back(key, number);
      encodable = encodable && std::isfinite(number);
    }
  }
  const std::string line = encodeEvent(event);
  if (!encodable) {
    if (line != fallbackLine) propertyBroken("expected the fallback", line);
    return 0;
  }
  // On the bytes: one line feed at the end and no other control character,
  // no space between tokens, every '/' escaped.
  if (line.empty() || line.back() != '\n') propertyBroken("no final line feed");
  bool inString = false, escaped = false;
  for (size_t i = 0; i + 1 < line.size(); ++i) {
    const unsigned char c = line[i];
    if (c < 0x20) propertyBroken("raw control character", line);
    if (!inString && (c == ' ' || c == '/')) {
      propertyBroken("space or '/' between tokens", line);
    }
    if (inString && !escaped && c == '/') propertyBroken("unescaped '/'", line);
    if (c == '"' && !escaped) inString = !inString;
    escaped = inString && !escaped && c == '\\';
  }
  if (inString) propertyBroken("unterminated string", line);

  const auto read = nlohmann::ordered_json::parse(line.begin(), line.end() - 1,
                                                  nullptr, false);
  if (!read.is_object()) propertyBroken("not a JSON object", line);
  // The parser keeps the last value of a repeated key, at the place of its
  // first occurrence.
  std::map<std::string, size_t> last;
  std::vector<std::string> order;
  for (size_t i = 0; i < event.size(); ++i) {
    if (!last.contains(event[i].first)) order.push_back(event[i].first);
    last[event[i].first] = i;
  }
  if (read.size() != order.size()) propertyBroken("key count differs", line);
  size_t position = 0;
  for (const auto& [key, value] : read.items()) {
    if (key != order[position++]) propertyBroken("key order differs", line);
    const EventValue& sent = event[last.at(key)].second;
    // Shortest round-trip digits read back to the very same double
    // (negative zero may read back as zero).
    const bool same =
        sent.index() == 0   ? value.is_string() && value == std::get<0>(sent)
        : sent.index() == 1 ? value.is_boolean() && value == std::get<1>(sent)
                            : value.is_number() && value == std::get<2>(sent);
    if (!same) propertyBroken("value differs for key " + key, line);
  }
  return 0;
}
