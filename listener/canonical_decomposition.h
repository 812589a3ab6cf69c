// The canonical decomposition (NFD) behind the text rules: ICU's normaliser
// on Linux, Core Foundation's on macOS, whose ICU publishes none. Pure;
// any thread.
#ifndef QUORVEL_LISTENER_CANONICAL_DECOMPOSITION_H_
#define QUORVEL_LISTENER_CANONICAL_DECOMPOSITION_H_

#include <unicode/umachine.h>

#include <optional>
#include <vector>

namespace quorvel {

// UTF-16 code units in ICU's own unit type: char16_t on Linux, uint16_t
// (Core Foundation's UniChar) on macOS.
using Utf16 = std::vector<UChar>;

// text in NFD; absent if the library fails.
std::optional<Utf16> canonicalDecomposition(const Utf16& text);

}  // namespace quorvel

#endif  // QUORVEL_LISTENER_CANONICAL_DECOMPOSITION_H_
