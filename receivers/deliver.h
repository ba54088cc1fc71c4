#pragma once
// Delivery of a receiver's data containers to the clients attached to its stream, each client
// at its own period, from the receiver's reader thread. The frames of one read are gathered per
// client and handed to the client's send queue in one piece at the end of the read; the client
// writer sends them, so the reader never waits for a client.

#include <cstddef>
#include <cstdint>

namespace orvana {

class Receiver;
struct Attachment;

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

// On r's reader thread after a read: queues each client's frames of the read for its writer
// (a client whose queue would pass its bound is cut off), then paces the reader. Same locks as
// DeliverContainer.
void SendQueuedFrames(Receiver& r);

// A client counts as behind with more than this waiting for it (or a quarter of its bound).
inline constexpr size_t kGroupBehindBytes = 128 * 1024;
// The longest the reader waits after a read.
inline constexpr uint32_t kPauseLimitMs = 100;

// When most of a receiver's clients are behind, its data comes faster than they all can take:
// the reader of a receiver on TCP (or through a gate) waits, at most kPauseLimitMs per read,
// for them to catch up, so that the connection holds the data back and the receiver slows
// down, instead of every client being cut off. One client behind the others is never waited
// for; alone, it is waited for no longer than the limit per read.
void PaceReader(Receiver& r);

}  // namespace orvana
