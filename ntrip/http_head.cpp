#include "ntrip/http_head.h"

#include <cstdint>

#include "core/text.h"

namespace orvana::ntrip {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Splits off the text up to the next blank.
std::string_view Word(std::string_view& rest) {
    rest = Trimmed(rest);
    const size_t blank = rest.find(' ');
    const std::string_view word = rest.substr(0, blank);
    rest = blank == std::string_view::npos ? std::string_view{} : rest.substr(blank + 1);
    return word;
}

bool HasControlByte(std::string_view line) {
    for (char c : line)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) return true;
    return false;
}

bool ParseFirstLine(std::string_view line, HttpHead* head) {
    std::string_view rest = line;
    const std::string_view first = Word(rest);
    if (first.empty()) return false;
    head->method = std::string(first);
    if (first == "SOURCE") {
        // NTRIP 1.0 source: "SOURCE password /mount"; an empty password leaves two blanks.
        const size_t blank = line.find(' ');
        std::string_view after = line.substr(blank + 1);
        const size_t split = after.rfind(' ');
        if (split == std::string_view::npos) return false;
        head->source_password = std::string(after.substr(0, split));
        std::string_view mount = Trimmed(after.substr(split + 1));
        if (mount.empty()) return false;
        head->target = mount.front() == '/' ? std::string(mount) : "/" + std::string(mount);
        return true;
    }
    const std::string_view second = Word(rest);
    if (second.empty()) return false;
    head->target = std::string(second);
    head->version = std::string(Trimmed(rest));
    return true;
}

}  // namespace

std::string HttpHead::Field(std::string_view name) const {
    for (const auto& [key, value] : fields)
        if (EqualsNoCaseAscii(key, name)) return value;
    return {};
}

bool HttpHead::HasField(std::string_view name) const {
    for (const auto& field : fields)
        if (EqualsNoCaseAscii(field.first, name)) return true;
    return false;
}

HeadParse ParseHttpHead(std::string_view bytes, HttpHead* head, size_t* head_bytes) {
    HttpHead parsed;
    size_t at = 0;
    bool first = true;
    for (;;) {
        const size_t end = bytes.find('\n', at);
        if (end == std::string_view::npos)
            return bytes.size() >= kMaxHeadBytes ? HeadParse::kBad : HeadParse::kNeedMore;
        if (end + 1 > kMaxHeadBytes) return HeadParse::kBad;
        std::string_view line = bytes.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        at = end + 1;
        if (HasControlByte(line)) return HeadParse::kBad;
        if (first) {
            if (!ParseFirstLine(line, &parsed)) return HeadParse::kBad;
            first = false;
            continue;
        }
        if (line.empty()) break;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) return HeadParse::kBad;
        if (parsed.fields.size() >= kMaxHeaderFields) return HeadParse::kBad;
        parsed.fields.emplace_back(std::string(Trimmed(line.substr(0, colon))),
                                   std::string(Trimmed(line.substr(colon + 1))));
    }
    *head = std::move(parsed);
    *head_bytes = at;
    return HeadParse::kDone;
}

bool ParseBasicAuthorization(std::string_view value, std::string* user, std::string* password) {
    value = Trimmed(value);
    const size_t blank = value.find(' ');
    if (blank == std::string_view::npos || !EqualsNoCaseAscii(value.substr(0, blank), "Basic"))
        return false;
    std::string decoded;
    if (!Base64Decode(Trimmed(value.substr(blank + 1)), &decoded)) return false;
    const size_t colon = decoded.find(':');
    if (colon == std::string::npos) return false;
    *user = decoded.substr(0, colon);
    *password = decoded.substr(colon + 1);
    return true;
}

std::string Base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t n = static_cast<uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) n |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) n |= static_cast<uint8_t>(bytes[i + 2]);
        out.push_back(kAlphabet[(n >> 18) & 63]);
        out.push_back(kAlphabet[(n >> 12) & 63]);
        out.push_back(i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=');
        out.push_back(i + 2 < bytes.size() ? kAlphabet[n & 63] : '=');
    }
    return out;
}

bool Base64Decode(std::string_view text, std::string* bytes) {
    if (text.size() % 4 != 0) return false;
    std::string out;
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t n = 0;
        int pad = 0;
        for (size_t k = 0; k < 4; ++k) {
            const char c = text[i + k];
            int v;
            if (c == '=' && i + 4 == text.size() && k >= 2) {
                v = 0;
                ++pad;
            } else {
                if (pad > 0) return false;  // data after padding
                v = Base64Value(c);
                if (v < 0) return false;
            }
            n = (n << 6) | static_cast<uint32_t>(v);
        }
        out.push_back(static_cast<char>((n >> 16) & 0xFF));
        if (pad < 2) out.push_back(static_cast<char>((n >> 8) & 0xFF));
        if (pad < 1) out.push_back(static_cast<char>(n & 0xFF));
    }
    *bytes = std::move(out);
    return true;
}

}  // namespace orvana::ntrip
