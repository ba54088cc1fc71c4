#include "receivers/deliver.h"

#include <mutex>

#include "core/blocking_socket.h"
#include "core/client_session.h"
#include "core/event_log.h"
#include "core/server_frames.h"
#include "receivers/attachment.h"
#include "receivers/receiver.h"

namespace orvana {
namespace {

constexpr size_t kContainerHead = 6;  // ">>", three length digits, the index byte
constexpr size_t kContainerTail = 2;  // two checksum digits

// The session that still holds `a`, or null. A released slot may already hold another client:
// frames go only to the session that still holds this attachment. REQUIRES: the receiver's
// attachment lock, under which a close clears `held`.
std::shared_ptr<ClientSession> HoldingSession(const Attachment& a) {
    std::shared_ptr<ClientSession> s = a.client.lock();
    if (!s || !a.held || a.handle == 0 || s->lost || !s->IsOpen()) return nullptr;
    return s;
}

void SendFrames(Attachment& a, uint32_t read, uint32_t limit_ms, EventLog& log) {
    std::vector<uint8_t>& frames = a.queued_frames;
    if (frames.empty() || a.queued_read != read) return;
    if (std::shared_ptr<ClientSession> s = HoldingSession(a)) {
        const int sent = s->SendWithin(frames.data(), static_cast<int>(frames.size()), limit_ms);
        if (sent <= 0) {
            // One report per client: the first failure cuts it off, later frames find it lost.
            if (!s->lost.exchange(true)) ReportSocketError(&log, a.client_text);
            s->Cleanup();
        }
    }
    frames.clear();  // keeps its capacity for the next read
}

}  // namespace

void DeliverContainer(Receiver& r, const uint8_t* container, size_t size) {
    if (size < kContainerHead + kContainerTail) return;
    const size_t index = container[5];
    const size_t length = size - kContainerHead - kContainerTail;
    const uint8_t* payload = container + kContainerHead;

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
            acc = static_cast<uint16_t>(acc - a->periods[index]);
            if (!HoldingSession(*a)) continue;
            std::vector<uint8_t>& frames = a->queued_frames;
            // Frames left from an earlier read were queued while the attachment was in the
            // stream but it was out of it when they were due to go: they are stale now.
            if (a->queued_read != r.read_count) {
                frames.clear();
                a->queued_read = r.read_count;
            }
            const size_t at = frames.size();
            frames.resize(at + FrameSize(length));
            BuildServerFrame(reinterpret_cast<char*>(frames.data() + at), type, a->handle, 0,
                             payload, length);
            a->bytes_sent += static_cast<uint32_t>(length);
        }
    }
    if (r.output_active == 0 && !(size > 12 && container[11] == '~' && container[12] == '~'))
        r.LogStreamBytes(r.receiver_name + " Don't find client ", payload, length);
}

void SendQueuedFrames(Receiver& r, uint32_t limit_ms) {
    std::lock_guard<platform::RecursiveLock> guard(r.attachment_lock);
    for (int slot = 0; slot < kOutputSlots; ++slot)
        if (auto* a = static_cast<Attachment*>(r.output.Slot(slot)))
            SendFrames(*a, r.read_count, limit_ms, r.log());
}

}  // namespace orvana
