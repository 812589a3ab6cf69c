#include "platform/macos/mac_bundle.h"

#import <Foundation/Foundation.h>

#include "platform/macos/foundation_strings.h"

namespace quorvel {

std::string MacBundle::path() const {
  return stdString(NSBundle.mainBundle.bundlePath);
}

std::optional<std::string> MacBundle::identifier() const {
  NSString* identifier = NSBundle.mainBundle.bundleIdentifier;
  if (identifier == nil) return std::nullopt;
  return stdString(identifier);
}

std::optional<std::string> MacBundle::infoString(const std::string& key) const {
  id value = [NSBundle.mainBundle objectForInfoDictionaryKey:nsString(key)];
  if (![value isKindOfClass:[NSString class]]) return std::nullopt;
  return stdString(static_cast<NSString*>(value));
}

std::vector<std::string> MacUserLanguages::preferredLanguages() const {
  std::vector<std::string> languages;
  for (NSString* language in NSLocale.preferredLanguages) {
    languages.push_back(stdString(language));
  }
  return languages;
}

}  // namespace quorvel
