#pragma once
// Commands to a receiver and their replies: the outgoing line with its "@xx" checksum, one
// command at a time under the receiver's command lock, the wait for the reply that the stream
// parser completes, tag matching, and small "@scr" ... "@end" scripts.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvana {

class Receiver;

inline constexpr size_t kMaxCommandLine = 255;  // bytes, with the terminating zero 256
inline constexpr const char* kReplyTimeout = "ER:Receiver reply timeout!";
inline constexpr const char* kDisableSequence = "\ndm\n||\ndm\n||####\ndm";

// Rotate left by 2 within 8 bits, exclusive-or each byte, a final rotate.
uint8_t ReceiverChecksum(const void* data, size_t n);

// The line that goes to the receiver: the command, "@" and its checksum when it is a single
// plain command, and "\r\n"; a gate gets the text unchanged. False when the line would not fit
// (such a command is refused, never cut).
bool PrepareLine(std::string_view command, bool gate, std::string* line);

// REQUIRES: the caller added 1 to r.sender_count and holds r.command_lock; this gives the
// count back. `timeout_ms` 0 sends without waiting.
bool SendCommand(Receiver& r, std::string_view command, std::string* out, uint32_t timeout_ms);

// The form every server part uses: takes the command lock; the reply goes to r.last_reply.
bool InternalCommand(Receiver& r, std::string_view command, uint32_t timeout_ms);

// The reply buffer from byte `offset` on, trimmed of white space.
std::string ReplyText(const Receiver& r, size_t offset);

// Runs "@scr [stoperrors]" lines to "@end"; the number of commands run, 0 when refused or
// stopped. Each reply and a line feed go to *out.
unsigned RunScript(Receiver& r, std::string_view script, std::string* out);

}  // namespace orvana
