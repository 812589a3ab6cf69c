// Any store text parses without harm to the statuses that a reference
// model of the format gives, and whatever the text holds, a line that
// quorvel-privacy writes at its end decides that permission.
//
// Input: the first eight bytes are a raw status, the ninth picks the
// permission; all bytes, those included, are the store text.
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/linux/privacy/privacy_store.h"
#include "tests/fuzz/fuzz_check.h"

namespace quorvel {
namespace {

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && std::string_view(" \t\r\f\v").find(text.front()) !=
                              std::string_view::npos)
    text.remove_prefix(1);
  while (!text.empty() && std::string_view(" \t\r\f\v").find(text.back()) !=
                              std::string_view::npos)
    text.remove_suffix(1);
  return text;
}

int64_t referenceValue(bool speech, std::string_view value) {
  if (value == "notDetermined") return 0;
  if (value == "authorized") return 3;
  if (value == "denied") return speech ? 1 : 2;
  if (value == "restricted") return speech ? 2 : 1;
  // A signed decimal: an optional '-' and digits, within 64 bits.
  const size_t digits = value.starts_with('-') ? 1 : 0;
  if (value.size() == digits) return 0;
  for (size_t i = digits; i < value.size(); ++i) {
    if (value[i] < '0' || value[i] > '9') return 0;
  }
  const std::string copy(value);
  errno = 0;
  const long long raw = std::strtoll(copy.c_str(), nullptr, 10);
  return errno == ERANGE ? 0 : raw;
}

PrivacyStatuses referenceParse(std::string_view text) {
  PrivacyStatuses statuses;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
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

std::string describe(const PrivacyStatuses& statuses) {
  return "speech " + std::to_string(statuses.speech) + ", microphone " +
         std::to_string(statuses.microphone);
}

}  // namespace
}  // namespace quorvel

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using quorvel::Permission;
  using quorvel::propertyBroken;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const quorvel::PrivacyStatuses parsed = quorvel::parsePrivacyStore(text);
  const quorvel::PrivacyStatuses expected = quorvel::referenceParse(text);
  if (parsed.speech != expected.speech ||
      parsed.microphone != expected.microphone) {
    propertyBroken("statuses differ from the reference",
                   "got " + quorvel::describe(parsed) + "; want " +
                       quorvel::describe(expected));
  }

  FuzzedDataProvider input(data, size);
  const int64_t status = input.ConsumeIntegral<int64_t>();
  const bool speech = input.ConsumeBool();
  const Permission permission =
      speech ? Permission::Speech : Permission::Microphone;
  const std::string line = std::string(speech ? "speech=" : "microphone=") +
                           quorvel::privacyStatusText(permission, status);
  const quorvel::PrivacyStatuses written =
      quorvel::parsePrivacyStore(std::string(text) + "\n" + line + "\n");
  if ((speech ? written.speech : written.microphone) != status) {
    propertyBroken("a written status does not read back", line);
  }
  return 0;
}
