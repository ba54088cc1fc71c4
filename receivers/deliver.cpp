#include "receivers/deliver.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "core/client_session.h"
#include "core/client_writer.h"
#include "core/server_frames.h"
#include "platform/clock.h"
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
    if (!s || !a.held || a.handle == 0 || s->lost || (!s->IsOpen() && !s->frame_sink))
        return nullptr;
    return s;
}

// The session `a`'s frames of this read go to, looked up on its first frame of the read.
// REQUIRES: the attachment lock.
ClientSession* ReadSession(Receiver& r, Attachment& a) {
    if (a.queued_read == r.read_count) return a.read_session;
    a.queued_read = r.read_count;
    // Frames left from an earlier read were made while the attachment was in the stream but it
    // was out of it when they were due to go: they are stale now.
    a.queued_frames.clear();
    a.queued_payload = 0;
    a.read_session = nullptr;
    if (std::shared_ptr<ClientSession> s = HoldingSession(a)) {
        a.read_session = s.get();
        r.read_sessions.push_back(std::move(s));  // alive until the read's frames are queued
    }
    return a.read_session;
}

// A read's frames are made for this handle, the one most clients use, and re-addressed to
// others.
constexpr uint8_t kBuiltForHandle = 1;

// The bytes of `a`'s frames of this read: the batch of a client before it with the same handle
// and frames, or a new one.
SharedBytes BatchFor(const Receiver& r, const Attachment& a,
                     std::vector<std::pair<const Attachment*, SharedBytes>>& batches) {
    for (const auto& [other, bytes] : batches)
        if (other->handle == a.handle && other->queued_frames == a.queued_frames) return bytes;
    auto bytes = std::make_shared<std::vector<uint8_t>>();
    size_t total = 0;
    for (uint32_t n : a.queued_frames) total += FrameSize(r.read_frame_list[n].payload);
    bytes->reserve(total);
    for (uint32_t n : a.queued_frames) {
        const Receiver::ReadFrame& f = r.read_frame_list[n];
        const size_t at = bytes->size();
        const uint8_t* from = r.read_frames.data() + f.at;
        bytes->insert(bytes->end(), from, from + FrameSize(f.payload));
        if (a.handle != kBuiltForHandle)
            ReaddressServerFrame(reinterpret_cast<char*>(bytes->data() + at), f.payload, a.handle);
    }
    batches.emplace_back(&a, bytes);
    return bytes;
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
        if (r.frames_read != r.read_count) {
            r.frames_read = r.read_count;
            r.read_frames.clear();
            r.read_frame_list.clear();
        }
        uint32_t number = UINT32_MAX;  // of this container's frame, once made
        for (int slot = 0; slot < kOutputSlots; ++slot) {
            if (r.stop != 0) break;
            // Every subscription in a receiver's slots is an attachment of a client.
            auto* a = static_cast<Attachment*>(r.output.Slot(slot));
            if (a == nullptr || !a->mask.test(index)) continue;
            uint16_t& acc = a->accumulators[index];
            acc = static_cast<uint16_t>(acc + period);
            if (acc < a->periods[index]) continue;
            acc = static_cast<uint16_t>(acc - a->periods[index]);
            if (ReadSession(r, *a) == nullptr) continue;
            if (number == UINT32_MAX) {
                number = static_cast<uint32_t>(r.read_frame_list.size());
                const size_t at = r.read_frames.size();
                r.read_frames.resize(at + FrameSize(length));
                BuildServerFrame(reinterpret_cast<char*>(r.read_frames.data() + at), type,
                                 kBuiltForHandle, 0, payload, length);
                r.read_frame_list.push_back(
                    {static_cast<uint32_t>(at), static_cast<uint32_t>(length)});
            }
            a->queued_frames.push_back(number);
            a->queued_payload += static_cast<uint32_t>(length);
        }
    }
    if (r.output_active == 0 && !(size > 12 && container[11] == '~' && container[12] == '~'))
        r.LogStreamBytes(r.receiver_name + " Don't find client ", payload, length);
}

void SendQueuedFrames(Receiver& r) {
    {
        std::lock_guard<platform::RecursiveLock> guard(r.attachment_lock);
        // Clients with the same handle and the same frames of this read share one buffer.
        std::vector<std::pair<const Attachment*, SharedBytes>> batches;
        for (int slot = 0; slot < kOutputSlots; ++slot) {
            auto* a = static_cast<Attachment*>(r.output.Slot(slot));
            if (a == nullptr || a->queued_read != r.read_count || a->queued_frames.empty())
                continue;
            ClientSession* s = a->read_session;
            // A close since the frames were due takes them with it.
            if (s != nullptr && a->held && !s->lost) {
                a->bytes_sent += a->queued_payload;
                s->QueueFrames(BatchFor(r, *a, batches));
            }
            // Its frame numbers stay for the comparisons of the clients after it; the next read
            // it is due for clears them.
        }
        r.read_sessions.clear();
    }
    PaceReader(r);
}

void PaceReader(Receiver& r) {
    // A device on a serial line or USB sends on whether it is read or not.
    if (r.kind != LinkKind::kTcp && r.kind != LinkKind::kGate) return;
    const uint32_t start = platform::TickCount();
    for (;;) {
        size_t clients = 0, behind = 0;
        QueueDrain* writer = nullptr;
        {
            std::lock_guard<platform::RecursiveLock> guard(r.attachment_lock);
            for (int slot = 0; slot < kOutputSlots; ++slot) {
                auto* a = static_cast<Attachment*>(r.output.Slot(slot));
                std::shared_ptr<ClientSession> s = a ? HoldingSession(*a) : nullptr;
                if (!s) continue;
                ++clients;
                QueueDrain* w = s->outgoing.writer();
                if (w == nullptr) continue;
                // Well inside the bound, so that the others are waited for before their cut.
                const size_t mark = std::min(kGroupBehindBytes, w->bounds().max_bytes / 4);
                if (s->outgoing.queued_bytes() > mark) {
                    ++behind;
                    writer = w;
                }
            }
        }
        const uint32_t spent = platform::TickCount() - start;
        if (behind * 2 <= clients || writer == nullptr || r.stop != 0 || spent >= kPauseLimitMs)
            return;
        writer->AwaitProgress(std::min<uint32_t>(kPauseLimitMs - spent, 10));
    }
}

}  // namespace orvana
