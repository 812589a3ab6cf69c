#include "listener/text.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <optional>

#include "listener/canonical_decomposition.h"

// Only ICU's C API, which macOS's libicucore publishes too; the
// normalisation it lacks there comes from canonical_decomposition.h.

namespace quorvel {
namespace {

bool isTrimmable(UChar32 c) {
  if (c < 0) return false;  // an ill-formed byte sequence
  if (c == 0x09 || (c >= 0x0A && c <= 0x0D) || c == 0x85) return true;
  return (U_GET_GC_MASK(c) & U_GC_Z_MASK) != 0;
}

// Runs an ICU call that writes a string into room for capacity units,
// and once more with the room it asks for if that was too little. Absent
// when ICU reports a failure.
template <typename String, typename Write>
std::optional<String> written(size_t capacity, Write write) {
  String out(capacity, {});
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = write(out.data(), static_cast<int32_t>(out.size()), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    out.assign(static_cast<size_t>(length), {});
    status = U_ZERO_ERROR;
    length = write(out.data(), length, &status);
  }
  if (U_FAILURE(status)) return std::nullopt;
  out.resize(static_cast<size_t>(length));
  return out;
}

// Ill-formed UTF-8 becomes U+FFFD, as in ICU's own reading of UTF-8. No
// UTF-8 byte makes more than one UTF-16 unit.
Utf16 utf16(std::string_view text) {
  return written<Utf16>(
             text.size(),
             [text](UChar* out, int32_t capacity, UErrorCode* status) {
               int32_t length = 0;
               u_strFromUTF8WithSub(out, capacity, &length, text.data(),
                                    static_cast<int32_t>(text.size()), 0xFFFD,
                                    nullptr, status);
               return length;
             })
      .value_or(Utf16());
}

// No UTF-16 unit makes more than three UTF-8 bytes.
std::string utf8(const Utf16& text) {
  return written<std::string>(
             3 * text.size(),
             [&text](char* out, int32_t capacity, UErrorCode* status) {
               int32_t length = 0;
               u_strToUTF8WithSub(out, capacity, &length, text.data(),
                                  static_cast<int32_t>(text.size()), 0xFFFD,
                                  nullptr, status);
               return length;
             })
      .value_or(std::string());
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
  const auto left = canonicalDecomposition(utf16(a));
  const auto right = canonicalDecomposition(utf16(b));
  return left && right && *left == *right;
}

std::string lowercased(std::string_view text) {
  const Utf16 source = utf16(text);
  // The root locale (""), not the user's: under a Turkish or Azerbaijani
  // locale "QUIT" would otherwise become "quıt", with a dotless i.
  // Lower case is rarely longer (U+0130 becomes two units): retried then.
  const auto lower = written<Utf16>(
      source.size(),
      [&source](UChar* out, int32_t capacity, UErrorCode* status) {
        return u_strToLower(out, capacity, source.data(),
                            static_cast<int32_t>(source.size()), "", status);
      });
  return lower ? utf8(*lower) : std::string();
}

}  // namespace quorvel
