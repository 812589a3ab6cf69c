// Any values of LANGUAGE, LC_ALL, LC_MESSAGES and LANG (each possibly
// unset) give preferred languages that are usable as locale candidates:
// none empty, none with a codeset, modifier or list separator, none "C" or
// "POSIX"; and they are LANGUAGE's entries in order when it yields any,
// else the language of the first locale variable set.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <optional>

#include "platform/linux/system/environment_languages.h"
#include "tests/fuzz/fuzz_check.h"

namespace quorvel {
namespace {

// The entries of a colon-separated list in order, codeset and modifier
// stripped, C, POSIX and empty ones skipped.
std::vector<std::string> referenceLanguageList(const std::string& list) {
  std::vector<std::string> entries;
  for (size_t start = 0; start <= list.size();) {
    const size_t colon = std::min(list.find(':', start), list.size());
    std::string entry = list.substr(start, colon - start);
    entry = entry.substr(0, entry.find_first_of(".@"));
    if (!entry.empty() && entry != "C" && entry != "POSIX") {
      entries.push_back(entry);
    }
    start = colon + 1;
  }
  return entries;
}

}  // namespace
}  // namespace quorvel

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::array<std::optional<std::string>, 4> variables;
  std::string shown = " from LANGUAGE LC_ALL LC_MESSAGES LANG =";
  for (auto& variable : variables) {
    // The environment holds C strings: a value ends at a NUL byte.
    if (input.ConsumeBool()) {
      const std::string value = input.ConsumeRandomLengthString(64);
      variable = value.substr(0, value.find('\0'));
    }
    shown += variable ? " \"" + *variable + "\"" : " (unset)";
  }
  const auto pointer = [&](int i) {
    return variables[i] ? variables[i]->c_str() : nullptr;
  };
  const std::vector<std::string> languages = quorvel::parsePreferredLanguages(
      pointer(0), pointer(1), pointer(2), pointer(3));
  std::string got;
  for (const std::string& language : languages) {
    got += "[" + language + "]";
    if (language.empty() || language == "C" || language == "POSIX" ||
        language.find_first_of(".@:") != std::string::npos) {
      quorvel::propertyBroken("unusable preferred language " + got, shown);
    }
  }
  std::vector<std::string> expected;
  if (variables[0]) expected = quorvel::referenceLanguageList(*variables[0]);
  // Else the first locale variable set and not empty decides, even when
  // it names C. A ':' there makes no locale name; the check above covers
  // what becomes of it.
  for (size_t i = 1; expected.empty() && i < variables.size(); ++i) {
    if (!variables[i] || variables[i]->empty()) continue;
    if (variables[i]->find(':') != std::string::npos) return 0;
    expected = quorvel::referenceLanguageList(*variables[i]);
    break;
  }
  if (languages != expected) {
    quorvel::propertyBroken("preferred languages differ: got " + got, shown);
  }
  return 0;
}
