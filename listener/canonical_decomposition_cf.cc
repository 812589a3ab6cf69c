#include <CoreFoundation/CoreFoundation.h>

#include <memory>
#include <type_traits>

#include "listener/canonical_decomposition.h"

namespace quorvel {

static_assert(std::is_same_v<UChar, UniChar>,
              "ICU and Core Foundation share the UTF-16 unit type on macOS");

std::optional<Utf16> canonicalDecomposition(const Utf16& text) {
  const std::unique_ptr<std::remove_pointer_t<CFMutableStringRef>,
                        decltype(&CFRelease)>
      string(CFStringCreateMutable(kCFAllocatorDefault, 0), &CFRelease);
  if (!string) return std::nullopt;
  CFStringAppendCharacters(string.get(), text.data(),
                           static_cast<CFIndex>(text.size()));
  CFStringNormalize(string.get(), kCFStringNormalizationFormD);
  Utf16 decomposed(static_cast<size_t>(CFStringGetLength(string.get())));
  CFStringGetCharacters(string.get(),
                        CFRangeMake(0, static_cast<CFIndex>(decomposed.size())),
                        decomposed.data());
  return decomposed;
}

}  // namespace quorvel
