#include "tests/fuzz/reference_text.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <cstdint>

namespace quorvel {
namespace {

// Decodes the character that starts at text[at]; false when the bytes there
// are not one well-formed character. Checks the decoded value rather than
// byte ranges, so it shares no table with the product's validator.
bool decodeAt(std::string_view text, size_t at, char32_t& character,
              size_t& length) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(at);
  char32_t minimum;
  if (lead < 0x80) {
    character = lead;
    length = 1;
    return true;
  } else if ((lead & 0xE0) == 0xC0) {
    character = lead & 0x1F;
    length = 2;
    minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    character = lead & 0x0F;
    length = 3;
    minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    character = lead & 0x07;
    length = 4;
    minimum = 0x10000;
  } else {
    return false;
  }
  if (text.size() - at < length) return false;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return false;
    character = (character << 6) | (byte(at + i) & 0x3F);
  }
  if (character < minimum || character > 0x10FFFF) return false;
  return character < 0xD800 || character > 0xDFFF;
}

bool isTrimmable(char32_t c) {
  if (c == 0x09 || (c >= 0x0A && c <= 0x0D) || c == 0x85) return true;
  switch (u_charType(static_cast<UChar32>(c))) {
    case U_SPACE_SEPARATOR:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool referenceIsUtf8(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    char32_t character;
    size_t length;
    if (!decodeAt(text, at, character, length)) return false;
    at += length;
  }
  return true;
}

std::string_view referenceTrimmed(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    char32_t character;
    size_t length;
    if (!decodeAt(text, begin, character, length) || !isTrimmable(character))
      break;
    begin += length;
  }
  size_t end = text.size();
  while (end > begin) {
    // The last character starts at most three continuation bytes back.
    size_t start = end - 1;
    while (start > begin && end - start < 4 &&
           (static_cast<uint8_t>(text[start]) & 0xC0) == 0x80) {
      --start;
    }
    char32_t character;
    size_t length;
    if (!decodeAt(text, start, character, length) || start + length != end ||
        !isTrimmable(character)) {
      break;
    }
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
