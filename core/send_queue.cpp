#include "core/send_queue.h"

#include <algorithm>
#include <chrono>

#include "platform/clock.h"

namespace orvana {
namespace {

constexpr int kTooManyBytes = 10055;  // no buffer space available
constexpr int kTooOld = 10060;        // timed out

// Another thread may have queued a chunk after `now` was read: it has not waited at all, rather
// than the 49 days the unsigned difference would say.
uint32_t WaitedSince(uint32_t queued_at, uint32_t now) {
    const uint32_t age = now - queued_at;
    return age > UINT32_MAX / 2 ? 0 : age;
}

}  // namespace

SendQueue::Push SendQueue::Queue(std::vector<uint8_t> bytes) {
    if (bytes.empty()) return Push::kQueued;
    return Queue(std::make_shared<const std::vector<uint8_t>>(std::move(bytes)));
}

SendQueue::Push SendQueue::Queue(SharedBytes bytes) {
    if (!bytes || bytes->empty()) return Push::kQueued;
    const size_t size = bytes->size();
    const uint32_t now = platform::TickCount();
    QueueDrain* wake = nullptr;
    uint16_t key = 0;
    {
        std::lock_guard<std::mutex> guard(mu_);
        if (writer_ == nullptr || cut_) {
            dropped_ += size;
            return Push::kRefused;
        }
        if (const int error = BoundPassed(size, now); error != 0) {
            CutLocked(error, now);
            dropped_ += size;
            return Push::kOverBound;
        }
        bytes_ += size;
        chunks_.push_back({std::move(bytes), now});
        if (!scheduled_ && !awaiting_room_) {
            scheduled_ = true;
            wake = writer_;
            key = key_;
        }
    }
    if (wake != nullptr) wake->Schedule(key);
    return Push::kQueued;
}

bool SendQueue::AwaitAtMost(size_t bytes, uint32_t limit_ms) {
    std::unique_lock<std::mutex> guard(mu_);
    changed_.wait_for(guard, std::chrono::milliseconds(limit_ms),
                      [&] { return bytes_ <= bytes || cut_ || writer_ == nullptr; });
    return bytes_ <= bytes && !cut_;
}

size_t SendQueue::queued_bytes() const {
    std::lock_guard<std::mutex> guard(mu_);
    return bytes_;
}

QueueDrain* SendQueue::writer() const {
    std::lock_guard<std::mutex> guard(mu_);
    return writer_;
}

bool SendQueue::cut_off() const {
    std::lock_guard<std::mutex> guard(mu_);
    return cut_;
}

CutOffReport SendQueue::cut_off_report() const {
    std::lock_guard<std::mutex> guard(mu_);
    return report_;
}

uint64_t SendQueue::dropped_bytes() const {
    std::lock_guard<std::mutex> guard(mu_);
    return dropped_;
}

void SendQueue::SetWriter(QueueDrain* writer, uint16_t key, QueueBounds bounds) {
    std::lock_guard<std::mutex> guard(mu_);
    writer_ = writer;
    key_ = key;
    bounds_ = bounds;
    scheduled_ = false;
    awaiting_room_ = false;
    changed_.notify_all();
}

size_t SendQueue::Gather(platform::ByteSpan* spans, size_t max, size_t budget) {
    std::lock_guard<std::mutex> guard(mu_);
    scheduled_ = false;
    if (cut_) return 0;
    size_t count = 0, total = 0;
    for (size_t i = 0; i < chunks_.size() && count < max && total < budget; ++i) {
        const size_t skip = i == 0 ? front_sent_ : 0;
        const std::vector<uint8_t>& b = *chunks_[i].bytes;
        spans[count++] = {b.data() + skip, b.size() - skip};
        total += b.size() - skip;
    }
    sending_ = count > 0;
    return count;
}

void SendQueue::Sent(size_t bytes) {
    std::lock_guard<std::mutex> guard(mu_);
    sending_ = false;
    if (writer_ != nullptr && writer_->traffic() != nullptr)
        Bump(writer_->traffic()->bytes_out, bytes);
    if (cut_) {
        // Cut while the writer was reading from them: freed only now.
        chunks_.clear();
        front_sent_ = 0;
        return;
    }
    bytes_ -= std::min(bytes, bytes_);
    while (bytes > 0 && !chunks_.empty()) {
        Chunk& front = chunks_.front();
        const size_t left = front.bytes->size() - front_sent_;
        if (bytes < left) {
            front_sent_ += bytes;
            break;
        }
        bytes -= left;
        front_sent_ = 0;
        chunks_.pop_front();
    }
    changed_.notify_all();
}

void SendQueue::AwaitRoom() {
    std::lock_guard<std::mutex> guard(mu_);
    awaiting_room_ = true;
}

bool SendQueue::ResumeSending() {
    std::lock_guard<std::mutex> guard(mu_);
    const bool was = awaiting_room_;
    awaiting_room_ = false;
    return was;
}

uint32_t SendQueue::OldestAge(uint32_t now) const {
    std::lock_guard<std::mutex> guard(mu_);
    return chunks_.empty() || cut_ ? 0 : WaitedSince(chunks_.front().queued_at, now);
}

bool SendQueue::CutOff(int error, uint32_t now) {
    std::lock_guard<std::mutex> guard(mu_);
    if (cut_) return false;
    CutLocked(error, now);
    return true;
}

int SendQueue::BoundPassed(size_t adding, uint32_t now) const {
    if (!chunks_.empty() && WaitedSince(chunks_.front().queued_at, now) > bounds_.max_age_ms)
        return kTooOld;
    return bytes_ + adding > bounds_.max_bytes ? kTooManyBytes : 0;
}

void SendQueue::CutLocked(int error, uint32_t now) {
    if (writer_ != nullptr && writer_->traffic() != nullptr) Bump(writer_->traffic()->cut_offs);
    report_.error = error;
    report_.waiting = bytes_;
    report_.oldest_ms = chunks_.empty() ? 0 : WaitedSince(chunks_.front().queued_at, now);
    dropped_ += bytes_;
    bytes_ = 0;
    cut_ = true;
    // The writer may be sending from these right now: it frees them when it is done.
    if (!sending_) {
        chunks_.clear();
        front_sent_ = 0;
    }
    changed_.notify_all();
}

}  // namespace orvana
