#include "core/client_writer.h"

#include <algorithm>
#include <chrono>

#include "core/client_session.h"
#include "platform/clock.h"

namespace orvana {

ClientWriter::~ClientWriter() {
    Stop();
}

bool ClientWriter::Start(QueueBounds bounds, std::string* error) {
    if (!poller_.ok()) {
        *error = "no poller, socket error " + std::to_string(platform::LastSocketError());
        return false;
    }
    bounds_ = bounds;
    stop_ = false;
    return thread_.Start([this] { Run(); }, error);
}

void ClientWriter::Stop() {
    stop_ = true;
    poller_.Wake();
    thread_.Join();
}

bool ClientWriter::Add(const std::shared_ptr<ClientSession>& s) {
    const uint16_t slot = s->slot_index;
    if (slot >= kSlots) return false;
    uint64_t key;
    {
        std::lock_guard<std::mutex> guard(mu_);
        key = slot | (++generation_ << 16);
        entries_[slot] = {s, key};
    }
    s->outgoing.SetWriter(this, slot, bounds_);
    if (poller_.Watch(s->descriptor(), key)) return true;
    s->outgoing.SetWriter(nullptr, 0, bounds_);
    {
        std::lock_guard<std::mutex> guard(mu_);
        entries_[slot] = {};
    }
    s->CutOff(platform::LastSocketError());
    return false;
}

void ClientWriter::Remove(ClientSession& s, uint32_t limit_ms) {
    if (s.slot_index >= kSlots) return;
    s.outgoing.AwaitAtMost(0, limit_ms);
    s.outgoing.SetWriter(nullptr, 0, bounds_);
    std::shared_ptr<ClientSession> held;
    {
        std::lock_guard<std::mutex> guard(mu_);
        Entry& e = entries_[s.slot_index];
        if (e.session.get() != &s) return;
        held = std::move(e.session);
        e = {};
    }
    // The socket stays open while `held` lives, so the descriptor cannot be someone else's.
    poller_.Forget(s.descriptor());
}

void ClientWriter::Schedule(uint16_t slot) {
    bool wake;
    {
        std::lock_guard<std::mutex> guard(mu_);
        ready_.push_back(slot);
        wake = sleeping_;
        sleeping_ = false;
    }
    if (wake) poller_.Wake();
}

void ClientWriter::AwaitProgress(uint32_t limit_ms) {
    std::unique_lock<std::mutex> guard(progress_mu_);
    progress_.wait_for(guard, std::chrono::milliseconds(limit_ms));
}

std::shared_ptr<ClientSession> ClientWriter::Registered(uint64_t key) {
    const size_t slot = key & 0xFFFF;
    std::lock_guard<std::mutex> guard(mu_);
    if (slot >= kSlots || entries_[slot].key != key) return nullptr;
    return entries_[slot].session;
}

void ClientWriter::Run() {
    std::vector<uint16_t> turn;
    uint64_t keys[64];
    uint32_t last_sweep = platform::TickCount();
    while (!stop_) {
        {
            std::lock_guard<std::mutex> guard(mu_);
            turn.swap(ready_);
            sleeping_ = turn.empty();
        }
        // Sockets with room again are looked at on every turn, a busy one too; only an idle
        // writer sleeps here.
        const uint32_t since = platform::TickCount() - last_sweep;
        const uint32_t wait = !turn.empty() || since >= kSweepMs ? 0 : kSweepMs - since;
        const int n = poller_.Wait(wait, keys, 64);
        if (wait != 0) {
            std::lock_guard<std::mutex> guard(mu_);
            sleeping_ = false;
        }
        for (int i = 0; i < n; ++i) {
            // Room again on a socket that took nothing: its queue may go on.
            std::shared_ptr<ClientSession> s = Registered(keys[i]);
            if (s && s->outgoing.ResumeSending()) Flush(s);
        }
        for (uint16_t slot : turn) {
            std::shared_ptr<ClientSession> s;
            {
                std::lock_guard<std::mutex> guard(mu_);
                if (slot < kSlots) s = entries_[slot].session;
            }
            if (s) Flush(s);
        }
        turn.clear();
        const uint32_t now = platform::TickCount();
        if (now - last_sweep >= kSweepMs) {
            last_sweep = now;
            Sweep(now);
        }
    }
}

void ClientWriter::Flush(const std::shared_ptr<ClientSession>& s) {
    platform::ByteSpan spans[platform::kMaxGatheredSpans];
    size_t turn = 0;
    for (;;) {
        const size_t count = s->outgoing.Gather(spans, platform::kMaxGatheredSpans, kTurnBytes);
        if (count == 0) return;
        const long n = platform::SendSome(s->descriptor(), spans, count);
        if (n < 0) {
            const int error = platform::LastSocketError();
            s->outgoing.Sent(0);
            s->CutOff(error);
            return;
        }
        s->outgoing.Sent(static_cast<size_t>(n));
        if (n > 0) {
            std::lock_guard<std::mutex> guard(progress_mu_);
            progress_.notify_all();
        }
        if (n == 0) {
            // The socket's room event takes it up again (the sweep, should that never come).
            s->outgoing.AwaitRoom();
            uint64_t key;
            {
                std::lock_guard<std::mutex> guard(mu_);
                const Entry& e = entries_[s->slot_index];
                if (e.session != s) return;  // removed meanwhile
                key = e.key;
            }
            if (!poller_.ArmSendRoom(s->descriptor(), key)) s->CutOff(platform::LastSocketError());
            return;
        }
        turn += static_cast<size_t>(n);
        if (turn >= kTurnBytes) {
            // Its share of this turn is spent: the others go first.
            Schedule(s->slot_index);
            return;
        }
    }
}

void ClientWriter::Sweep(uint32_t now) {
    std::vector<std::shared_ptr<ClientSession>> all;
    {
        std::lock_guard<std::mutex> guard(mu_);
        for (const Entry& e : entries_)
            if (e.session) all.push_back(e.session);
    }
    for (const auto& s : all) {
        if (s->outgoing.OldestAge(now) > bounds_.max_age_ms) {
            s->CutOff(10060);
            continue;
        }
        // A socket that said it was full and never told of room again is tried once a second.
        if (s->outgoing.ResumeSending()) Flush(s);
    }
}

}  // namespace orvana
