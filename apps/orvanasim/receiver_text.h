#pragma once
// The receiver's side of its text protocol: the 8-bit checksum, the "RE"/"ER" reply messages
// (two letters, three hex digits of body length, body) and the splitting of long replies into
// parts that end in "," or "{", which the host joins again.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvana::sim {

// Rotate left by 2 and exclusive-or each byte, a final rotate left by 2.
uint8_t ReceiverChecksum(std::string_view bytes);

// Value of one hex digit, -1 for any other character.
int HexDigit(char c);

// The longest body one message can carry (three hex digits).
inline constexpr size_t kMaxBody = 0xFFF;

// One message: `id` ("RE" or "ER"), the body length, `tag` + `body`. A body longer than
// kMaxBody is cut.
std::string ReplyMessage(std::string_view id, std::string_view tag, std::string_view body);

// The messages that carry `body` with `tag` repeated in each: every part but the last ends in
// "," or "{" and holds at most `max_part` body bytes (a part without such a character in reach
// runs on to the next one). An empty tag and body give no message at all.
std::vector<std::string> ReplyMessages(std::string_view id, std::string_view tag,
                                       std::string_view body, size_t max_part);

}  // namespace orvana::sim
