#include "listener/text.h"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace quorvel {
namespace {

bool isTrimmable(UChar32 c) {
  if (c < 0) return false;  // an ill-formed byte sequence
  if (c == 0x09 || (c >= 0x0A && c <= 0x0D) || c == 0x85) return true;
  return (U_GET_GC_MASK(c) & U_GC_Z_MASK) != 0;
}

}  // namespace

std::string trimmed(std::string_view text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const int32_t length = static_cast<int32_t>(text.size());
  int32_t begin = 0;
  while (begin < length) {
    int32_t next = begin;
    UChar32 c;
    U8_NEXT(bytes, next, length, c);
    if (!isTrimmable(c)) break;
    begin = next;
  }
  int32_t end = length;
  while (end > begin) {
    int32_t previous = end;
    UChar32 c;
    U8_PREV(bytes, begin, previous, c);
    if (!isTrimmable(c)) break;
    end = previous;
  }
  return std::string(text.substr(begin, end - begin));
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status)) return false;
  const auto left = nfd->normalize(icu::UnicodeString::fromUTF8(a), status);
  const auto right = nfd->normalize(icu::UnicodeString::fromUTF8(b), status);
  return U_SUCCESS(status) && left == right;
}

std::string lowercased(std::string_view text) {
  std::string out;
  // The root locale, not the user's: under a Turkish or Azerbaijani locale
  // "QUIT" would otherwise become "quıt", with a dotless i.
  icu::UnicodeString::fromUTF8(text)
      .toLower(icu::Locale::getRoot())
      .toUTF8String(out);
  return out;
}

}  // namespace quorvel
