#pragma once
// The one thread that sends to clients. Producers queue frames in a session's send queue
// (send_queue.h) and never wait for its socket; the writer sends each client's queue in large
// gathered sends whenever its socket has room, a bounded share per turn so that one client with
// a long queue does not hold up the rest, and cuts off a client whose queue passes its bound
// or whose socket fails: lost, connection broken, the reason kept for its session thread to
// report.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/send_queue.h"
#include "platform/poller.h"
#include "platform/sync.h"

namespace orvana {

class ClientSession;

class ClientWriter : public QueueDrain {
  public:
    static constexpr size_t kSlots = 128;
    static constexpr size_t kTurnBytes = 256 * 1024;  // a client's share of one turn
    static constexpr uint32_t kSweepMs = 1000;        // age bounds and stalled sockets

    ClientWriter() = default;
    ~ClientWriter() override;
    ClientWriter(const ClientWriter&) = delete;
    ClientWriter& operator=(const ClientWriter&) = delete;

    // False with `error` set when the thread or its poller cannot be had.
    bool Start(QueueBounds bounds, std::string* error);
    // After every session has been removed.
    void Stop();
    const QueueBounds& bounds() const override { return bounds_; }
    TrafficCounters* traffic() override { return traffic_; }
    // Before Start.
    void CountIn(TrafficCounters* traffic) { traffic_ = traffic; }

    // From now on the session's queue is sent by this writer. False when its socket cannot be
    // watched: the session is then cut off.
    bool Add(const std::shared_ptr<ClientSession>& s);
    // Waits up to `limit_ms` for the session's queue to be sent, then stops sending it. After
    // this the writer never touches the session's socket.
    void Remove(ClientSession& s, uint32_t limit_ms);

    // A queue has something to send (SendQueue calls it).
    void Schedule(uint16_t slot) override;
    // Waits up to `limit_ms` for the writer to send something more to anyone.
    void AwaitProgress(uint32_t limit_ms) override;

  private:
    struct Entry {
        std::shared_ptr<ClientSession> session;
        uint64_t key = 0;  // slot | generation << 16: events of an earlier session are ignored
    };
    void Run();
    void Flush(const std::shared_ptr<ClientSession>& s);
    void Sweep(uint32_t now);
    std::shared_ptr<ClientSession> Registered(uint64_t key);

    TrafficCounters* traffic_ = nullptr;
    QueueBounds bounds_;
    platform::Poller poller_;
    std::mutex mu_;  // after a queue's lock is released; never held across a send
    std::vector<Entry> entries_ = std::vector<Entry>(kSlots);  // GUARDED_BY(mu_)
    std::vector<uint16_t> ready_;                              // GUARDED_BY(mu_)
    bool sleeping_ = false;                                    // GUARDED_BY(mu_)
    uint64_t generation_ = 0;                                  // GUARDED_BY(mu_)
    std::atomic<bool> stop_{false};
    std::mutex progress_mu_;
    std::condition_variable progress_;
    platform::Thread thread_;
};

}  // namespace orvana
