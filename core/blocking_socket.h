#pragma once
// The blocking TCP socket of every endpoint of the server. Set-up operations throw a
// CBlockingSocketException; data operations return status values so session loops need no
// exception handling per read. Sends are serialised by the socket's send lock and bounded in
// time: a peer that stops reading fails the send instead of freezing the sender.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/net.h"
#include "platform/sync.h"

namespace orvana {

class EventLog;

class CBlockingSocketException {
  public:
    // Captures this thread's last socket error now.
    explicit CBlockingSocketException(std::string operation);
    int error() const { return error_; }
    const std::string& operation() const { return operation_; }

    // Replaces `text` by the report line for this error (with `text` and the operation in it);
    // logs the line when the error is not 0. Returns the error.
    int Report(std::string& text, EventLog* log) const;

  private:
    int error_;
    std::string operation_;
};

// Logs "ER:<description> from Read/Write Socket reply <E>" for this thread's last socket error
// E when it is not 0. Returns E.
int ReportSocketError(EventLog* log, const std::string& description);

class CBlockingSocket {
  public:
    static constexpr uint32_t kKeepAliveIdleMs = 300000;
    static constexpr uint32_t kKeepAliveIntervalMs = 2000;
    // A client connection's send buffer: a read's batch of frames fits, and a client that
    // stops reading ties up little of the kernel's memory before it is found out.
    static constexpr int kClientSendBuffer = 64 * 1024;
    static constexpr uint32_t kAcceptWaitMs = 75000;
    static constexpr int kPeekWaitSeconds = 20;
    static constexpr uint32_t kDefaultSendLimitMs = 5000;
    static constexpr uint32_t kDefaultConnectLimitMs = 20000;

    CBlockingSocket() = default;
    virtual ~CBlockingSocket();
    CBlockingSocket(const CBlockingSocket&) = delete;
    CBlockingSocket& operator=(const CBlockingSocket&) = delete;

    void Create(int type = 1);                    // throws "Create"
    void Bind(const platform::Ipv4Endpoint& at);  // throws "Bind"
    void Listen(int backlog);                     // throws "Listen"
    // Accepts into `target`. With `with_timeout` waits at most 75 s ("Accept timeout").
    bool Accept(CBlockingSocket& target, platform::Ipv4Endpoint* peer, bool with_timeout);
    void Connect(const platform::Ipv4Endpoint& to,
                 uint32_t limit_ms = kDefaultConnectLimitMs);  // throws "Connect"
    // After a read on a receiver link: what arrived is acknowledged at once, so a receiver
    // waiting for the acknowledgement does not hold its next bytes back.
    void AckAtOnce();
    // A receiver link's receive buffer, set before it connects: a few reads' worth, so that a
    // command's reply never queues behind megabytes of a flooding receiver's data. Throws
    // "Create".
    void SetReceiveBuffer(int bytes);
    static platform::Ipv4Endpoint GetHostByName(const std::string& host, uint16_t port);

    // Breaks the connection from any thread; the owner's pending read returns 0 or -1. The
    // descriptor itself is released by the owner (next Create/Accept or destruction), so a
    // reader never touches a descriptor number the system has handed to someone else.
    void Cleanup();
    bool IsOpen() const { return fd_.load() != platform::kNoSocket && !broken_.load(); }
    // For a poller and sends that never wait; owned by this object, closed with it.
    platform::SocketFd descriptor() const { return fd_.load(); }

    // All bytes or -1. `seconds` is not used: the limit is SetSendLimit's.
    int Send(const void* data, int length, int seconds = 0);
    // Waits up to `seconds` for data: -2 nothing came, 0 closed, -1 error, else the count.
    int Receive(void* buffer, int length, int seconds);
    // Like Receive with the 20 s wait (shorter in tests), optionally leaving the bytes queued.
    int ReceivePeek(void* buffer, int length, bool peek,
                    uint32_t wait_ms = kPeekWaitSeconds * 1000u);

    void SetSendLimit(uint32_t ms) { send_limit_ms_ = ms; }
    // Takes over the connection of `other` (an accepted socket), which is left closed.
    void TakeConnection(CBlockingSocket& other);
    platform::Ipv4Endpoint LocalEndpoint() const;

  protected:
    void Adopt(platform::SocketFd fd);

  private:
    void ReleaseDescriptor();

    std::atomic<platform::SocketFd> fd_{platform::kNoSocket};
    std::atomic<bool> broken_{false};
    std::atomic<uint32_t> send_limit_ms_{kDefaultSendLimitMs};
    platform::TimedLock send_lock_;  // serialises Send; innermost lock of the server
};

}  // namespace orvana
