#include "tests/fuzz/reference_text.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <cstdint>
#include <optional>
#include <utility>

namespace quorvel {
namespace {

// The character that starts at text[at] and its length; nothing when the
// bytes there are not one well-formed character. Checks the decoded value
// rather than byte ranges, so it shares no table with the product.
std::optional<std::pair<char32_t, size_t>> decodeAt(std::string_view text,
                                                    size_t at) {
  const uint8_t lead = text[at];
  if (lead < 0x80) return std::pair<char32_t, size_t>{lead, 1};
  const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  if ((lead & 0xC0) != 0xC0 || lead >= 0xF8 || text.size() - at < length) {
    return std::nullopt;
  }
  char32_t character = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((uint8_t(text[at + i]) & 0xC0) != 0x80) return std::nullopt;
    character = (character << 6) | (uint8_t(text[at + i]) & 0x3F);
  }
  const char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (character < minimum[length] || character > 0x10FFFF ||
      (character >= 0xD800 && character <= 0xDFFF)) {
    return std::nullopt;
  }
  return std::pair{character, length};
}

// Tab, U+000A to U+000D, U+0085 and the characters of general category Z.
bool trimmable(std::optional<std::pair<char32_t, size_t>> decoded) {
  if (!decoded) return false;
  const char32_t c = decoded->first;
  const auto type = u_charType(static_cast<UChar32>(c));
  return c == 0x09 || (c >= 0x0A && c <= 0x0D) || c == 0x85 ||
         type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR ||
         type == U_PARAGRAPH_SEPARATOR;
}

}  // namespace

bool referenceIsUtf8(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    const auto decoded = decodeAt(text, at);
    if (!decoded) return false;
    at += decoded->second;
  }
  return true;
}

std::string_view referenceTrimmed(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && trimmable(decodeAt(text, begin))) {
    begin += decodeAt(text, begin)->second;
  }
  while (end > begin) {
    // The last character starts at most three continuation bytes back.
    size_t start = end - 1;
    while (start > begin && end - start < 4 &&
           (uint8_t(text[start]) & 0xC0) == 0x80) {
      --start;
    }
    const auto decoded = decodeAt(text, start);
    if (!trimmable(decoded) || start + decoded->second != end) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

bool referenceCanonicallyEqual(std::string_view a, std::string_view b) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return a == b;
  const auto left = nfc->normalize(icu::UnicodeString::fromUTF8(a), status);
  const auto right = nfc->normalize(icu::UnicodeString::fromUTF8(b), status);
  return U_SUCCESS(status) && left == right;
}

}  // namespace quorvel
