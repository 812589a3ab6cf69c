// The facts the permission flow reads about the running application and
// its user. Read on the main queue.
#ifndef QUORVEL_PLATFORM_BUNDLE_H_
#define QUORVEL_PLATFORM_BUNDLE_H_

#include <optional>
#include <string>
#include <vector>

namespace quorvel {

class Bundle {
 public:
  virtual ~Bundle() = default;
  virtual std::string path() const = 0;
  // Absent when the information dictionary has no identifier.
  virtual std::optional<std::string> identifier() const = 0;
  // The value of an information-dictionary key when it exists and is a
  // string; absent for a missing key or a value of any other type.
  virtual std::optional<std::string> infoString(
      const std::string& key) const = 0;
};

class UserLanguages {
 public:
  virtual ~UserLanguages() = default;
  // The user's preferred languages, most preferred first, as language
  // tags ("de_CH", "en-GB", "fr"); possibly empty.
  virtual std::vector<std::string> preferredLanguages() const = 0;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_BUNDLE_H_
