#pragma once
// Delivery of a receiver's data containers to the clients attached to its stream, each client
// at its own period, from the receiver's reader thread. The frames of one read are queued per
// client and go out in one send each at the end of the read: a send per container per client
// was what bounded the stream's throughput.

#include <cstddef>
#include <cstdint>

namespace orvana {

class EventLog;
class Receiver;
struct Attachment;

// A client's data frames may hold the reader thread, and so every client of the receiver, this
// long at most: a client that cannot take them in time is cut off.
inline constexpr uint32_t kDataSendLimitMs = 500;

// Frame type of message `index` of `group`: (group + 1) * 256 + (index + 1).
inline constexpr uint16_t DataFrameType(unsigned group, unsigned index) {
    return static_cast<uint16_t>((group + 1) * 256 + (index + 1));
}

// On r's reader thread, for each container whose checksum is right: ">>", three length digits,
// the index byte, the payload and two checksum digits (size >= 8). Queues its data frame for
// every client due for it. Takes r's attachment lock; never the receiver table lock or the
// client table lock, so it cannot deadlock against the connection-lost handling, which holds
// both while it closes attachments.
void DeliverContainer(Receiver& r, const uint8_t* container, size_t size);

// On r's reader thread after a read: sends each client's queued frames. A send that fails or
// takes longer than `limit_ms` cuts that client off. Same locks as DeliverContainer.
void SendQueuedFrames(Receiver& r, uint32_t limit_ms = kDataSendLimitMs);

}  // namespace orvana
