#pragma once
// The few non-ASCII texts are stored and sent in code page 1251; shown, they are converted.

#include <string>
#include <string_view>

namespace orvana::platform {

// UTF-8 of code page 1251 bytes; a byte the code page does not define becomes U+FFFD.
std::string Cp1251ToUtf8(std::string_view bytes);

// Code page 1251 of UTF-8 text; a character the code page lacks becomes '?'.
std::string Utf8ToCp1251(std::string_view utf8);

}  // namespace orvana::platform
