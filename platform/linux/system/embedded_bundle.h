// The bundle facts on Linux: the Info.plist that the build assembles into
// the executable's ".info_plist" section, read back once at construction,
// and the folder of the running executable. Read from any thread.
#ifndef QUORVEL_PLATFORM_LINUX_SYSTEM_EMBEDDED_BUNDLE_H_
#define QUORVEL_PLATFORM_LINUX_SYSTEM_EMBEDDED_BUNDLE_H_

#include <map>
#include <optional>
#include <string>

#include "platform/bundle.h"

namespace quorvel {

class EmbeddedBundle : public Bundle {
 public:
  // Parses the embedded property list. A list that does not parse, or is
  // not a dictionary, leaves every key absent.
  EmbeddedBundle();

  // The folder holding the running executable; empty if it is unknown.
  std::string path() const override;
  std::optional<std::string> identifier() const override;
  std::optional<std::string> infoString(const std::string& key) const override;

 private:
  std::string directory;
  // The top-level keys whose values are strings; keys of other types are
  // left out, so they read as absent.
  std::map<std::string, std::string> strings;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SYSTEM_EMBEDDED_BUNDLE_H_
