// The privacy store: the file that remembers the speech and microphone
// permissions, in lines "speech=VALUE" and "microphone=VALUE". Read by the
// helper, written by the microphone request and by quorvel-privacy.
#ifndef QUORVEL_PLATFORM_LINUX_PRIVACY_PRIVACY_STORE_H_
#define QUORVEL_PLATFORM_LINUX_PRIVACY_PRIVACY_STORE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "platform/permission_status.h"

namespace quorvel {

// Raw statuses of both permissions; notDetermined (0) when not stated.
struct PrivacyStatuses {
  int64_t speech = 0;
  int64_t microphone = 0;
  // Why the store file, which is there, cannot be read ("Permission
  // denied", "Not a regular file"); empty when it can or is missing.
  std::string unreadable;
};

// Parses the store's text. VALUE is a status label of the key's own
// numbering (speech: denied 1, restricted 2; microphone: restricted 1,
// denied 2) or a signed decimal raw value; '#' comments and blank lines
// are ignored; a missing key or an unparsable value reads as 0.
PrivacyStatuses parsePrivacyStore(std::string_view text);

// The VALUE that write stores for status: the label of the permission's
// own numbering for 0 to 3 ("denied"), else the signed decimal raw value.
std::string privacyStatusText(Permission permission, int64_t status);

class PrivacyStore {
 public:
  // QUORVEL_PRIVACY_FILE, else $XDG_CONFIG_HOME/quorvel/privacy, else
  // ~/.config/quorvel/privacy.
  static std::string defaultPath();

  // The largest store file read; a larger one parses as nothing. The
  // store holds two short lines.
  static constexpr size_t maxFileBytes = 4096;

  explicit PrivacyStore(std::string path) : path(std::move(path)) {}
  const std::string& filePath() const { return path; }
  // Reads the file anew on every call, never blocking on it. A missing
  // file, or one larger than maxFileBytes, reads as all 0. A file that is
  // there but cannot be read (no permission, not a regular file) reads as
  // restricted for both permissions, with the reason in unreadable: the
  // user cannot grant either until it is fixed.
  PrivacyStatuses read() const;
  // Sets one permission's raw status, keeping the other lines, by writing
  // a new file and renaming it over the old one, so a reader never sees
  // half a file. Creates missing directories. A file that cannot be read
  // is left alone; an oversized one is replaced by the one line. Empty on
  // success, else a readable reason.
  std::string write(Permission permission, int64_t status) const;
  // Removes one permission's line (back to notDetermined), atomically.
  std::string reset(Permission permission) const;

 private:
  std::string path;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_PRIVACY_PRIVACY_STORE_H_
