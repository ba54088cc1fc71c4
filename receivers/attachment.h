#pragma once
// The binding of one client handle to one open receiver. Owned by the client's handle table
// (index = handle); the receiver's output setup refers to it while it is attached to the
// stream.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "receivers/output_setup.h"

namespace orvana {

class ClientSession;
struct TransferSession;

struct Attachment : MessageSubscription {
    uint8_t receiver_number = 0;  // 1 to 64
    uint8_t handle = 0;
    uint16_t client_slot = 0;
    std::string receiver_name;
    std::string open_time_text;  // local short date, a blank, hh:mm
    bool exclusive = false;
    // Frames sent on this handle: replies and notices whole, data frames their payload. Added
    // to by the reader thread and the client's session thread.
    std::atomic<uint32_t> bytes_sent{0};
    int32_t console_row = -1;
    std::time_t open_time = 0;
    std::shared_ptr<TransferSession> transfer;
    // Set by Attach under the receiver's attachment lock, before the attachment joins the
    // stream: the delivery reaches its client through these without the client table lock.
    std::weak_ptr<ClientSession> client;
    // True while the client's handle table holds this attachment: set before it can join the
    // stream, cleared by its close under the attachment lock. The delivery reads this, never
    // the handle table, which other threads may grow or change under the table lock.
    bool held = false;
    std::string client_text;  // "user/task(address)" for socket error reports
    // On a gate receiver: the number of the gate's stream that carries this client's data
    // messages, 0 before its first Attach. Under the receiver's attachment lock.
    uint8_t gate_stream = 0;
    // The receiver's frames of read `queued_read` due to this client (numbers in its
    // read_frame_list), queued together at the read's end for `read_session`, which the
    // receiver's read_sessions keep alive until then. GUARDED_BY the receiver's attachment lock.
    std::vector<uint32_t> queued_frames;
    uint32_t queued_payload = 0;  // their payload, added to bytes_sent once they are queued
    uint64_t queued_read = 0;
    ClientSession* read_session = nullptr;
};

}  // namespace orvana
