// Records of any keys, texts (any bytes) and numbers (any bit pattern) come
// out as one line that nlohmann-json reads back to the same record, or as
// the fallback line exactly when a text is not UTF-8 (as nlohmann-json's
// own encoder judges it) or a number is not finite.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "events/event_writer.h"

namespace {

using Json = nlohmann::ordered_json;

// The encoder replaces what is not UTF-8 with U+FFFD.
bool isUtf8(const std::string& text) {
  const std::string encoded =
      Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
  return Json::parse(encoded, nullptr, false) == text;
}

[[noreturn]] void broken(const char* what, const std::string& line) {
  std::fprintf(stderr, "property broken: %s\n  %s\n", what, line.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  quorvel::Event event;
  // A repeated key keeps its first place and takes the last value, as a
  // parser reads it.
  Json expected = Json::object();
  bool encodable = true;
  const size_t count = input.ConsumeIntegralInRange<size_t>(0, 8);
  for (size_t i = 0; i < count && input.remaining_bytes() > 0; ++i) {
    const std::string key = input.ConsumeRandomLengthString(32);
    encodable = encodable && isUtf8(key);
    const int kind = input.ConsumeIntegralInRange(0, 3);
    if (kind == 0) {
      const std::string text = input.ConsumeRandomLengthString();
      encodable = encodable && isUtf8(text);
      event.emplace_back(key, text);
      expected[key] = text;
    } else if (kind == 1) {
      event.emplace_back(key, input.ConsumeBool());
      expected[key] = std::get<bool>(event.back().second);
    } else {
      // Any bit pattern, or a plain number of the kind the helper writes.
      double number =
          kind == 2 ? std::bit_cast<double>(input.ConsumeIntegral<uint64_t>())
                    : input.ConsumeIntegral<int32_t>();
      if (kind == 3) number /= input.ConsumeIntegralInRange(1, 1000);
      encodable = encodable && std::isfinite(number);
      event.emplace_back(key, number);
      expected[key] = number;
    }
  }
  const std::string line = quorvel::encodeEvent(event);
  if (!encodable) {
    if (line != quorvel::fallbackLine) broken("expected the fallback", line);
    return 0;
  }
  if (line.find('\n') != line.size() - 1) broken("not one line", line);
  // Not !=, which is false for a line that does not parse.
  if (!(Json::parse(line, nullptr, false) == expected)) {
    broken("does not read back", line);
  }
  return 0;
}
