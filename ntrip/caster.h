#pragma once
// The NTRIP caster inside the server: rovers (NTRIP 1.0 and 2.0 clients) ask for a mountpoint
// and get its receiver's messages as they come. One thread serves every connection without
// waiting on any (epoll): it reads requests, answers them and sends each rover's queue when its
// socket has room. A receiver's reader only queues, so a slow rover holds up neither the
// receiver nor the other rovers; a rover whose queue passes the clients' bound is cut off.
// Each mountpoint's receiver is opened when its first rover comes and closed when its last
// leaves, by a thread of the mountpoint's own, since opening a receiver waits for it. A relay
// mountpoint takes its stream from a source that pushes it to the caster instead (NTRIP 1.0
// "SOURCE", 2.0 "POST"). An upload pushes a mountpoint's stream to another caster: to the
// mountpoint it is one more rover, dialled out by the same thread, again after a back-off
// whenever the connection ends.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/send_queue.h"
#include "ntrip/caster_config.h"
#include "platform/net.h"
#include "platform/poller.h"
#include "platform/sync.h"

namespace orvana {
class Server;
}

namespace orvana::ntrip {

struct HttpHead;

class Caster : public QueueDrain {
  public:
    static constexpr size_t kMaxConnections = 4096;
    static constexpr uint32_t kHeadLimitMs = 10000;  // to send a whole request head
    static constexpr uint32_t kSweepMs = 1000;
    static constexpr uint32_t kFirstBackoffMs = 1000;
    static constexpr uint32_t kLastBackoffMs = 64000;
    static constexpr uint32_t kSteadyUploadMs = 60000;  // after this the back-off starts over
    static constexpr uint32_t kUploadAnswerMs = 10000;

    Caster(Server& server, CasterConfig config);
    ~Caster() override;
    Caster(const Caster&) = delete;
    Caster& operator=(const Caster&) = delete;

    // Listens and starts serving; false with `error` set when the port cannot be had.
    bool Start(std::string* error);
    // Closes every connection and mountpoint and joins the threads. Safe to call twice.
    void Stop();
    uint16_t port() const { return port_; }

    void Schedule(uint16_t key) override;
    void AwaitProgress(uint32_t limit_ms) override;
    const QueueBounds& bounds() const override { return bounds_; }
    TrafficCounters* traffic() override;

  private:
    struct Connection;
    struct Mount;
    struct Upload;

    void Run();
    void Accept();
    size_t FreeSlot() const;  // slots_.size() when every slot is taken
    std::unique_ptr<Connection> NewConnection(platform::SocketFd fd, size_t slot,
                                              const platform::Ipv4Endpoint& peer);
    void HandleEvent(uint64_t key);
    void ReadHead(Connection& c);
    void Answer(Connection& c);
    void StartRover(Connection& c, Mount& m, bool version2);
    // A rover or an upload starts taking the mountpoint's stream.
    void JoinMount(Connection& c, Mount& m, bool chunked);
    void StartSource(Connection& c, const HttpHead& head, bool version2);
    void ReadStream(Connection& c);
    void TakeSourceBytes(Connection& c, std::string_view bytes);
    void Dial(Upload& u);
    void RetryLater(Upload& u);
    void Connected(Connection& c);
    void ReadUploadAnswer(Connection& c);
    void Flush(Connection& c);
    void Sweep(uint32_t now);
    void Close(Connection& c, const std::string& why);
    void Rearm(Connection& c);
    Connection* Find(uint64_t key);
    // Queues bytes to one connection; an answer, not stream data.
    void Reply(Connection& c, const std::string& text, bool then_close);
    void Publish(Mount& m, const SharedBytes& bytes);
    // The mountpoint's client in the connection list names its rovers and uploads.
    // REQUIRES(mu_)
    void ShowState(Mount& m);
    void Feed(Mount& m);

    Server& server_;
    CasterConfig config_;
    std::string sourcetable_;
    QueueBounds bounds_;
    platform::Poller poller_;
    platform::SocketFd listener_ = platform::kNoSocket;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    bool started_ = false;

    // Connections are made and ended by the serving thread under mu_; a receiver's reader
    // reaches a mountpoint's rovers under mu_ too.
    std::mutex mu_;
    std::vector<std::unique_ptr<Connection>> slots_;  // GUARDED_BY(mu_)
    std::vector<std::unique_ptr<Mount>> mounts_;      // the list is fixed at construction
    std::vector<std::unique_ptr<Upload>> uploads_;    // serving thread only, once started
    uint64_t generation_ = 0;                         // serving thread only
    bool listener_resting_ = false;                   // serving thread only

    std::mutex ready_mu_;  // after a queue's lock; never with mu_ taken after it
    std::vector<uint16_t> ready_;
    bool sleeping_ = false;
    std::mutex progress_mu_;
    std::condition_variable progress_;

    platform::Thread thread_;
};

}  // namespace orvana::ntrip
