// Any values of LANGUAGE, LC_ALL, LC_MESSAGES and LANG (each possibly
// unset) give preferred languages that are usable as locale candidates:
// none empty, none with a codeset, modifier or list separator, none "C" or
// "POSIX"; and they are LANGUAGE's entries in order when it yields any,
// else the language of the first locale variable set.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/system/environment_languages.h"
#include "tests/fuzz/fuzz_check.h"

namespace quorvel {
namespace {

std::optional<std::string> decodeVariable(FuzzedDataProvider& input) {
  if (!input.ConsumeBool()) return std::nullopt;
  // The environment holds C strings: the value ends at a NUL byte.
  const std::string value = input.ConsumeRandomLengthString(64);
  return value.substr(0, value.find('\0'));
}

// The entries of a colon-separated list in order, codeset and modifier
// stripped, C, POSIX and empty ones skipped.
std::vector<std::string> referenceLanguageList(const std::string& list) {
  std::vector<std::string> entries;
  size_t start = 0;
  while (true) {
    const size_t colon = list.find(':', start);
    std::string entry = list.substr(start, colon - start);
    entry = entry.substr(0, entry.find_first_of(".@"));
    if (!entry.empty() && entry != "C" && entry != "POSIX")
      entries.push_back(entry);
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return entries;
}

std::string joined(const std::vector<std::string>& entries) {
  std::string text;
  for (const auto& entry : entries) text += "[" + entry + "]";
  return text;
}

}  // namespace
}  // namespace quorvel

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::array<std::optional<std::string>, 4> variables;
  for (auto& variable : variables) variable = quorvel::decodeVariable(input);
  const auto pointer = [](const std::optional<std::string>& value) {
    return value ? value->c_str() : nullptr;
  };
  const std::vector<std::string> languages = quorvel::parsePreferredLanguages(
      pointer(variables[0]), pointer(variables[1]), pointer(variables[2]),
      pointer(variables[3]));

  std::string inputs;
  for (const auto& variable : variables) {
    inputs += variable ? "\"" + *variable + "\" " : "(unset) ";
  }
  for (const std::string& language : languages) {
    if (language.empty() || language == "C" || language == "POSIX" ||
        language.find_first_of(".@:") != std::string::npos) {
      quorvel::propertyBroken(
          "unusable preferred language \"" + language + "\"",
          "from LANGUAGE LC_ALL LC_MESSAGES LANG = " + inputs);
    }
  }
  std::vector<std::string> expected;
  if (variables[0]) expected = quorvel::referenceLanguageList(*variables[0]);
  bool known = true;
  if (expected.empty()) {
    // Else the first locale variable that is set and not empty decides,
    // even when it names C. A ':' there makes no locale name; the check
    // above covers what becomes of it.
    for (size_t i = 1; i < variables.size(); ++i) {
      if (!variables[i] || variables[i]->empty()) continue;
      known = variables[i]->find(':') == std::string::npos;
      expected = quorvel::referenceLanguageList(*variables[i]);
      break;
    }
  }
  if (known && languages != expected) {
    quorvel::propertyBroken("preferred languages differ",
                            "got " + quorvel::joined(languages) + " want " +
                                quorvel::joined(expected) + " from " + inputs);
  }
  return 0;
}
