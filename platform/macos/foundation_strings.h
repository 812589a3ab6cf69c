// Text between the seams (std::string, UTF-8) and Foundation (NSString),
// for the Objective-C++ of the macOS backend. Any thread.
#ifndef QUORVEL_PLATFORM_MACOS_FOUNDATION_STRINGS_H_
#define QUORVEL_PLATFORM_MACOS_FOUNDATION_STRINGS_H_

#import <Foundation/Foundation.h>

#include <string>

namespace quorvel {

// text as an NSString; the empty string when text is not UTF-8.
NSString* nsString(const std::string& text);

// text in UTF-8; empty for nil. Characters without a UTF-8 form (an
// unpaired surrogate) are converted lossily rather than losing the text.
std::string stdString(NSString* text);

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_MACOS_FOUNDATION_STRINGS_H_
