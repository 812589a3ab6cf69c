// Any store text parses without harm to the statuses that a reference
// model of the format gives, and whatever the text holds, a line that
// quorvel-privacy writes at its end decides that permission.
//
// Input: the first eight bytes are a raw status, the ninth picks the
// permission; all bytes, those included, are the store text.
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstdlib>

#include "platform/linux/privacy/privacy_store.h"
#include "tests/fuzz/fuzz_check.h"

namespace quorvel {
namespace {

std::string_view trimBlanks(std::string_view text) {
  const size_t begin = text.find_first_not_of(" \t\r\f\v");
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t\r\f\v") + 1 - begin);
}

int64_t referenceValue(bool speech, std::string_view value) {
  if (value == "notDetermined") return 0;
  if (value == "authorized") return 3;
  if (value == "denied") return speech ? 1 : 2;
  if (value == "restricted") return speech ? 2 : 1;
  // A signed decimal: an optional '-' and digits, within 64 bits.
  const std::string digits(value.substr(value.starts_with('-')));
  if (digits.empty() ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return 0;
  }
  errno = 0;
  const long long raw = std::strtoll(std::string(value).c_str(), nullptr, 10);
  return errno == ERANGE ? 0 : raw;
}

PrivacyStatuses referenceParse(std::string_view text) {
  PrivacyStatuses statuses;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    line = line.substr(0, line.find('#'));
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = trimBlanks(line.substr(0, equals));
    const std::string_view value = trimBlanks(line.substr(equals + 1));
    if (key == "speech") statuses.speech = referenceValue(true, value);
    if (key == "microphone") statuses.microphone = referenceValue(false, value);
  }
  return statuses;
}

}  // namespace
}  // namespace quorvel

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quorvel;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const PrivacyStatuses parsed = parsePrivacyStore(text);
  const PrivacyStatuses expected = referenceParse(text);
  if (parsed.speech != expected.speech ||
      parsed.microphone != expected.microphone) {
    propertyBroken("statuses differ from the reference",
                   "got " + std::to_string(parsed.speech) + ", " +
                       std::to_string(parsed.microphone) + "; want " +
                       std::to_string(expected.speech) + ", " +
                       std::to_string(expected.microphone));
  }
  FuzzedDataProvider input(data, size);
  const int64_t status = input.ConsumeIntegral<int64_t>();
  const bool speech = input.ConsumeBool();
  const std::string line =
      std::string(speech ? "speech=" : "microphone=") +
      privacyStatusText(speech ? Permission::Speech : Permission::Microphone,
                        status);
  const PrivacyStatuses written = parsePrivacyStore(text + "\n" + line + "\n");
  if ((speech ? written.speech : written.microphone) != status) {
    propertyBroken("a written status does not read back", line);
  }
  return 0;
}
