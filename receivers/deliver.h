#pragma once
// Delivery of a receiver's data containers to the clients attached to its stream, each client
// at its own period, from the receiver's reader thread.

#include <cstddef>
#include <cstdint>

namespace orvana {

class EventLog;
class Receiver;
struct Attachment;

// A data frame may hold the reader thread, and so every client of the receiver, this long at
// most: a client that cannot take it in time is cut off.
inline constexpr uint32_t kDataSendLimitMs = 500;

// Frame type of message `index` of `group`: (group + 1) * 256 + (index + 1).
inline constexpr uint16_t DataFrameType(unsigned group, unsigned index) {
    return static_cast<uint16_t>((group + 1) * 256 + (index + 1));
}

// On r's reader thread, for each container whose checksum is right: ">>", three length digits,
// the index byte, the payload and two checksum digits (size >= 8). Takes r's attachment lock;
// never the receiver table lock or the client table lock, so it cannot deadlock against the
// connection-lost handling, which holds both while it closes attachments.
void DeliverContainer(Receiver& r, const uint8_t* container, size_t size,
                      uint32_t limit_ms = kDataSendLimitMs);

// Sends `length` payload bytes to a's client as one data frame built around them in place.
// REQUIRES: 11 writable bytes before `payload` and 5 after its end (put back before return);
// the caller holds the attachment lock of a's receiver. True when the frame went out; a send
// that fails or takes longer than `limit_ms` cuts the client off.
bool SendDataFrame(Attachment& a, uint16_t type, uint8_t* payload, size_t length, uint32_t limit_ms,
                   EventLog& log);

}  // namespace orvana
