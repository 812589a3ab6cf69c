// The user's preferred languages on Linux, taken from the gettext and
// locale variables of the environment. Read on the main queue.
#ifndef QUORVEL_PLATFORM_LINUX_SYSTEM_ENVIRONMENT_LANGUAGES_H_
#define QUORVEL_PLATFORM_LINUX_SYSTEM_ENVIRONMENT_LANGUAGES_H_

#include <string>
#include <vector>

#include "platform/bundle.h"

namespace quorvel {

// The preferred languages for the given variable values (any may be null):
// the colon-separated entries of LANGUAGE, in order, when it yields at
// least one; else the first non-empty of LC_ALL, LC_MESSAGES and LANG.
// Codeset and modifier are stripped ("de_CH.UTF-8@euro" gives "de_CH");
// "C", "POSIX" and empty entries are skipped. Unlike gettext, LANGUAGE
// counts even when the locale is C: the helper only wants a preference.
std::vector<std::string> parsePreferredLanguages(const char* language,
                                                 const char* lcAll,
                                                 const char* lcMessages,
                                                 const char* lang);

class EnvironmentLanguages : public UserLanguages {
 public:
  // parsePreferredLanguages of the current environment.
  std::vector<std::string> preferredLanguages() const override;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SYSTEM_ENVIRONMENT_LANGUAGES_H_
