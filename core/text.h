#pragma once
// Small text helpers shared by the request handlers and the receiver code.

#include <string>
#include <string_view>

namespace orvana {

// Without the blanks (' ') at either end; `TrimLeadingBlanks` only at the front.
std::string_view TrimBlanks(std::string_view s);
std::string_view TrimLeadingBlanks(std::string_view s);
// Without any white space (isspace) at either end.
std::string_view TrimWhiteSpace(std::string_view s);
// Whether a list of comma-terminated items ("A,B,") holds `item` as a whole item; text after the
// last comma is no item.
bool ListHasItem(std::string_view list, std::string_view item);
// ASCII lower (upper) case, other bytes unchanged.
std::string ToLowerAscii(std::string_view s);
std::string ToUpperAscii(std::string_view s);
// Equal when ASCII letters are compared without case.
bool EqualsNoCaseAscii(std::string_view a, std::string_view b);
// 0 to 15 for a hexadecimal digit of either case, -1 for anything else.
int HexDigitValue(char c);

}  // namespace orvana
