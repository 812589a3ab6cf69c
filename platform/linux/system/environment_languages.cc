#include "platform/linux/system/environment_languages.h"

#include <cstdlib>
#include <string_view>

namespace quorvel {

namespace {

// The language part of a locale name, or empty when it names no language.
// A name with a ':' is no locale name (setlocale would refuse it).
std::string languageOf(std::string_view locale) {
  if (locale.find(':') != std::string_view::npos) return "";
  locale = locale.substr(0, locale.find_first_of(".@"));
  if (locale == "C" || locale == "POSIX") return "";
  return std::string(locale);
}

}  // namespace

std::vector<std::string> parsePreferredLanguages(const char* language,
                                                 const char* lcAll,
                                                 const char* lcMessages,
                                                 const char* lang) {
  std::vector<std::string> languages;
  if (language) {
    std::string_view rest(language);
    for (;;) {
      const size_t colon = rest.find(':');
      std::string entry = languageOf(rest.substr(0, colon));
      if (!entry.empty()) languages.push_back(std::move(entry));
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
    if (!languages.empty()) return languages;
  }
  // Like setlocale, the first variable that is set and non-empty decides,
  // even when it names C.
  for (const char* locale : {lcAll, lcMessages, lang}) {
    if (!locale || !*locale) continue;
    std::string entry = languageOf(locale);
    if (!entry.empty()) languages.push_back(std::move(entry));
    break;
  }
  return languages;
}

std::vector<std::string> EnvironmentLanguages::preferredLanguages() const {
  return parsePreferredLanguages(std::getenv("LANGUAGE"), std::getenv("LC_ALL"),
                                 std::getenv("LC_MESSAGES"),
                                 std::getenv("LANG"));
}

}  // namespace quorvel
