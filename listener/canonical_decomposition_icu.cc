#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include "listener/canonical_decomposition.h"

namespace quorvel {

std::optional<Utf16> canonicalDecomposition(const Utf16& text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status)) return std::nullopt;
  // A read-only alias: no copy of the text.
  const icu::UnicodeString source(false, text.data(),
                                  static_cast<int32_t>(text.size()));
  const icu::UnicodeString result = nfd->normalize(source, status);
  if (U_FAILURE(status)) return std::nullopt;
  return Utf16(result.getBuffer(), result.getBuffer() + result.length());
}

}  // namespace quorvel
