// The text rules every transcript and control command follows: trimming of
// whitespace and line breaks, and comparison under Unicode canonical
// equivalence. Pure functions, safe on any thread.
#ifndef QUORVEL_LISTENER_TEXT_H_
#define QUORVEL_LISTENER_TEXT_H_

#include <string>
#include <string_view>

namespace quorvel {

// text without leading and trailing whitespace and line breaks: tab,
// U+000A to U+000D, U+0085 and every character of general category Z.
// Bytes that are not valid UTF-8 are kept and end the trimming there.
std::string trimmed(std::string_view text);

// Whether a and b are the same text once normalised (NFD), so that "é"
// precomposed equals "e" with a combining accent.
bool canonicallyEqual(std::string_view a, std::string_view b);

// text in lower case by Unicode's root rules, whatever the user's locale;
// invalid UTF-8 becomes U+FFFD.
std::string lowercased(std::string_view text);

}  // namespace quorvel

#endif  // QUORVEL_LISTENER_TEXT_H_
