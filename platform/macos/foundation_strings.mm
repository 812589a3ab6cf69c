#include "platform/macos/foundation_strings.h"

namespace quorvel {

NSString* nsString(const std::string& text) {
  NSString* string = [[NSString alloc] initWithBytes:text.data()
                                              length:text.size()
                                            encoding:NSUTF8StringEncoding];
  return string != nil ? string : @"";
}

std::string stdString(NSString* text) {
  if (text == nil) return std::string();
  if (const char* bytes = text.UTF8String) return std::string(bytes);
  NSData* data = [text dataUsingEncoding:NSUTF8StringEncoding
                    allowLossyConversion:YES];
  return std::string(static_cast<const char*>(data.bytes), data.length);
}

}  // namespace quorvel
