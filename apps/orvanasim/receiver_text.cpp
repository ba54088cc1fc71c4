#include "apps/orvanasim/receiver_text.h"

#include <cstdio>

namespace orvana::sim {

uint8_t ReceiverChecksum(std::string_view bytes) {
    uint8_t sum = 0;
    auto rotate = [](uint8_t v) { return static_cast<uint8_t>((v << 2) | (v >> 6)); };
    for (char c : bytes) sum = static_cast<uint8_t>(rotate(sum) ^ static_cast<uint8_t>(c));
    return rotate(sum);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string ReplyMessage(std::string_view id, std::string_view tag, std::string_view body) {
    std::string content(tag);
    content.append(body);
    if (content.size() > kMaxBody) content.resize(kMaxBody);
    char length[8];
    std::snprintf(length, sizeof length, "%03X", static_cast<unsigned>(content.size()));
    return std::string(id) + length + content;
}

std::vector<std::string> ReplyMessages(std::string_view id, std::string_view tag,
                                       std::string_view body, size_t max_part) {
    std::vector<std::string> out;
    if (tag.empty() && body.empty()) return out;
    if (max_part == 0) max_part = 1;
    size_t at = 0;
    while (body.size() - at > max_part) {
        // The last "," or "{" within reach ends this part; none in reach: the first one after.
        size_t cut = std::string_view::npos;
        for (size_t i = at; i < at + max_part; ++i) {
            if (body[i] == ',' || body[i] == '{') cut = i;
        }
        if (cut == std::string_view::npos) {
            cut = body.find_first_of(",{", at + max_part);
            if (cut == std::string_view::npos) break;
        }
        if (cut + 1 >= body.size()) break;  // a part may not end the whole body on ","
        out.push_back(ReplyMessage(id, tag, body.substr(at, cut + 1 - at)));
        at = cut + 1;
    }
    out.push_back(ReplyMessage(id, tag, body.substr(at)));
    return out;
}

}  // namespace orvana::sim
