// The running application's bundle (NSBundle's main bundle) and the
// user's preferred languages (NSLocale), on macOS. Main queue.
#ifndef QUORVEL_PLATFORM_MACOS_MAC_BUNDLE_H_
#define QUORVEL_PLATFORM_MACOS_MAC_BUNDLE_H_

#include <optional>
#include <string>
#include <vector>

#include "platform/bundle.h"

namespace quorvel {

// Reads the Info.plist of Quorvel.app, or of the executable's own
// __TEXT,__info_plist section when it runs outside the application.
class MacBundle final : public Bundle {
 public:
  std::string path() const override;
  std::optional<std::string> identifier() const override;
  std::optional<std::string> infoString(const std::string& key) const override;
};

class MacUserLanguages final : public UserLanguages {
 public:
  // The list of System Settings → General → Language & Region, as
  // language tags ("en-US", "de-CH", "zh-Hans-CN").
  std::vector<std::string> preferredLanguages() const override;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_MACOS_MAC_BUNDLE_H_
