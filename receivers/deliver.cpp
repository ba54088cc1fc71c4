#include "receivers/deliver.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "core/blocking_socket.h"
#include "core/client_session.h"
#include "core/event_log.h"
#include "core/server_frames.h"
#include "receivers/attachment.h"
#include "receivers/receiver.h"

namespace orvana {
namespace {

constexpr size_t kHeader = 11;        // "%04x%03x%02x%02x"
constexpr size_t kTrailer = 5;        // zero byte and 32-bit checksum
constexpr size_t kContainerHead = 6;  // ">>", three length digits, the index byte
constexpr size_t kContainerTail = 2;  // two checksum digits

}  // namespace

bool SendDataFrame(Attachment& a, uint16_t type, uint8_t* payload, size_t length, uint32_t limit_ms,
                   EventLog& log) {
    std::shared_ptr<ClientSession> s = a.client.lock();
    if (!s || a.handle == 0 || s->lost || !s->IsOpen()) return false;
    // A released slot may already hold another client: the frame goes only to the session
    // whose handle table still holds this attachment. Element a.handle changes only under the
    // attachment lock the caller holds.
    if (!s->has_handle_table || a.handle >= s->handle_table.size() ||
        s->handle_table[a.handle].get() != &a)
        return false;

    uint8_t* frame = payload - kHeader;
    uint8_t* trailer = payload + length;
    uint8_t saved_head[kHeader], saved_tail[kTrailer];
    std::memcpy(saved_head, frame, kHeader);
    std::memcpy(saved_tail, trailer, kTrailer);
    char header[32];
    std::snprintf(header, sizeof header, "%04x%03x%02x%02x",
                  static_cast<unsigned>(FrameSize(length) & 0xFFFF), static_cast<unsigned>(type),
                  static_cast<unsigned>(a.handle), 0u);
    std::memcpy(frame, header, kHeader);
    trailer[0] = 0;
    const uint32_t sum = ServerFrameCheckSum(frame, kHeader + length + 1);
    for (int k = 0; k < 4; ++k) trailer[1 + k] = static_cast<uint8_t>((sum >> (8 * k)) & 0xFF);

    a.bytes_sent += static_cast<uint32_t>(length);
    const int sent = s->SendWithin(frame, static_cast<int>(FrameSize(length)), limit_ms);
    std::memcpy(frame, saved_head, kHeader);
    std::memcpy(trailer, saved_tail, kTrailer);
    if (sent > 0) return true;
    // One report per client: the first failure cuts it off, later frames find it lost.
    if (!s->lost.exchange(true)) ReportSocketError(&log, a.client_text);
    s->Cleanup();
    return false;
}

void DeliverContainer(Receiver& r, const uint8_t* container, size_t size, uint32_t limit_ms) {
    if (size < kContainerHead + kContainerTail) return;
    const size_t index = container[5];
    const size_t length = size - kContainerHead - kContainerTail;

    // The frame is built around the payload where it lies, in the assembly buffer's spare bytes;
    // a container from anywhere else is first copied into room of the same shape.
    uint8_t* storage = r.assembly_storage.data();
    const uint8_t* storage_end = storage + r.assembly_storage.size();
    std::vector<uint8_t> copy;
    uint8_t* payload = nullptr;
    const std::less_equal<const uint8_t*> le;
    if (le(storage + kHeader - kContainerHead, container) &&
        le(container + kContainerHead + length + kTrailer, storage_end)) {
        payload = storage + (container - storage) + kContainerHead;
    } else {
        copy.assign(kHeader + length + kTrailer, 0);
        std::memcpy(copy.data() + kHeader, container + kContainerHead, length);
        payload = copy.data() + kHeader;
    }

    const MessageTable* table = r.context().messages;
    const uint16_t type = DataFrameType(table ? table->Entry(static_cast<int>(index)).group : 0,
                                        static_cast<unsigned>(index));
    {
        std::lock_guard<platform::RecursiveLock> guard(r.attachment_lock);
        const uint16_t period = r.output.Period(static_cast<int>(index));
        for (int slot = 0; slot < kOutputSlots; ++slot) {
            if (r.stop != 0) break;
            // Every subscription in a receiver's slots is an attachment of a client.
            auto* a = static_cast<Attachment*>(r.output.Slot(slot));
            if (a == nullptr || !a->mask.test(index)) continue;
            uint16_t& acc = a->accumulators[index];
            acc = static_cast<uint16_t>(acc + period);
            if (acc < a->periods[index]) continue;
            SendDataFrame(*a, type, payload, length, limit_ms, r.log());
            acc = static_cast<uint16_t>(acc - a->periods[index]);
        }
    }
    if (r.output_active == 0 && !(size > 12 && container[11] == '~' && container[12] == '~'))
        r.log().WriteBytes(r.receiver_name + " Don't find client ", container + kContainerHead,
                           length);
}

}  // namespace orvana
