#pragma once
// What is waiting to be sent to one client. Every frame to a client is queued here by the thread
// that made it (its session thread, a receiver's reader, a transfer) and sent by the client
// writer (client_writer.h), so frames keep the order they were made in and no producer ever
// waits for a client's socket. A queue over its bound (bytes, or the age of its oldest byte)
// refuses more and its client is cut off: one client that stops reading costs the others
// nothing and ties up a bounded amount of memory.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "core/server_metrics.h"
#include "platform/env.h"

namespace orvana {

struct QueueBounds {
    size_t max_bytes = 4u << 20;
    uint32_t max_age_ms = 30000;
};

// The thread that sends queues to their sockets: the client writer, the NTRIP caster.
class QueueDrain {
  public:
    virtual ~QueueDrain() = default;
    // The queue registered under `key` has something to send.
    virtual void Schedule(uint16_t key) = 0;
    // Waits up to `limit_ms` for the drain to send something more to anyone.
    virtual void AwaitProgress(uint32_t limit_ms) = 0;
    virtual const QueueBounds& bounds() const = 0;
    // Where the bytes sent and the cut-offs of its queues are counted (none: nullptr).
    virtual TrafficCounters* traffic() { return nullptr; }
};

// Why a client was cut off.
struct CutOffReport {
    int error = 0;           // the socket error, as the event log reports them
    size_t waiting = 0;      // bytes queued at the cut
    uint32_t oldest_ms = 0;  // how long the oldest of them had waited
};

// Bytes queued for one client or shared by several: a read's data frames go to every client
// with the same handle and messages as one buffer.
using SharedBytes = std::shared_ptr<const std::vector<uint8_t>>;

class SendQueue {
  public:
    enum class Push { kQueued, kOverBound, kRefused };

    // Producers. kOverBound: the bytes would take the queue past its bound, which cuts the
    // client off (nothing is queued, the queue is dropped); kRefused: the queue takes nothing
    // (no writer, or already cut off).
    Push Queue(std::vector<uint8_t> bytes);
    Push Queue(SharedBytes bytes);
    // Waits until at most `bytes` are queued. False when the queue was cut off, has no writer
    // or `limit_ms` passed first.
    bool AwaitAtMost(size_t bytes, uint32_t limit_ms);
    size_t queued_bytes() const;
    QueueDrain* writer() const;
    bool cut_off() const;
    CutOffReport cut_off_report() const;
    // Bytes that never reached the client: queued at its cut or refused after it.
    uint64_t dropped_bytes() const;

    // ---- the writer's side ----
    // Registers the writer that sends this queue (null: none from now on) and its bounds.
    void SetWriter(QueueDrain* writer, uint16_t key, QueueBounds bounds);
    // Up to `max` pieces from the front, at most about `budget` bytes; clears the scheduled mark.
    size_t Gather(platform::ByteSpan* spans, size_t max, size_t budget);
    void Sent(size_t bytes);
    // The socket took nothing: no producer schedules the queue until ResumeSending.
    void AwaitRoom();
    // True when the queue was waiting for room (and now is not).
    bool ResumeSending();
    // How long its oldest byte has waited at `now`, 0 when empty.
    uint32_t OldestAge(uint32_t now) const;
    // Drops everything queued and refuses from now on. False when it was cut off already.
    bool CutOff(int error, uint32_t now);

  private:
    struct Chunk {
        SharedBytes bytes;
        uint32_t queued_at;
    };
    // The error of the bound that `adding` more bytes would pass, 0 for none. REQUIRES(mu_)
    int BoundPassed(size_t adding, uint32_t now) const;
    void CutLocked(int error, uint32_t now);  // REQUIRES(mu_)

    mutable std::mutex mu_;  // innermost lock of the server
    std::condition_variable changed_;
    std::deque<Chunk> chunks_;  // GUARDED_BY(mu_)
    size_t front_sent_ = 0;     // bytes of the front chunk already sent
    size_t bytes_ = 0;          // unsent bytes
    QueueDrain* writer_ = nullptr;
    uint16_t key_ = 0;
    QueueBounds bounds_;
    bool scheduled_ = false;      // in the writer's list of queues to send
    bool awaiting_room_ = false;  // the socket took nothing; the writer resumes it
    bool sending_ = false;        // the writer is sending from the chunks (Gather to Sent)
    bool cut_ = false;
    CutOffReport report_;
    uint64_t dropped_ = 0;
};

}  // namespace orvana
