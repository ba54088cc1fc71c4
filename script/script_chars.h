#pragma once
// Byte classes of the script language. Script text is single-byte; names may use the Cyrillic
// letters of code page 866 (0x80-0xAF, 0xE0-0xF1), and the underscore is not a letter.

namespace orvana::script {

inline bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

inline bool IsLetter(char c) {
    const unsigned char b = static_cast<unsigned char>(c);
    return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= 0x80 && b <= 0xAF) ||
           (b >= 0xE0 && b <= 0xF1);
}

inline bool IsWordByte(char c) {
    return IsLetter(c) || IsDigit(c);
}

}  // namespace orvana::script
