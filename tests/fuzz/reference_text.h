// Independent reference versions of the text rules that the fuzz targets
// hold the product to, written from the rules rather than from the code.
#ifndef QUORVEL_TESTS_FUZZ_REFERENCE_TEXT_H_
#define QUORVEL_TESTS_FUZZ_REFERENCE_TEXT_H_

#include <string_view>

namespace quorvel {

// Whether text is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool referenceIsUtf8(std::string_view text);

// text less the tab, U+000A to U+000D, U+0085 and characters of general
// category Z at both ends, as a view into text. A byte sequence that is not
// a well-formed character ends the trimming on its side.
std::string_view referenceTrimmed(std::string_view text);

// Whether a and b are the same text under canonical equivalence.
bool referenceCanonicallyEqual(std::string_view a, std::string_view b);

}  // namespace quorvel

#endif  // QUORVEL_TESTS_FUZZ_REFERENCE_TEXT_H_
