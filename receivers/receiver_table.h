#pragma once
// The open side of the receiver table: per entry the open lock, the outcome of the current
// open and the failure tick, the 64 receiver slots holding the open receivers, and the
// requests that open and close them. The entries' names are the server's (loaded at start-up).
//
// Lock order: entry open lock, receiver table lock (Server::receiver_table_lock, which also
// guards the slots and every handle table), receiver attachment lock.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "links/link.h"
#include "platform/sync.h"
#include "receivers/attachment.h"
#include "receivers/message_table.h"
#include "receivers/receiver.h"

namespace orvana {

class Server;
class ClientSession;

struct ReceiverEntry {
    std::mutex open_lock;
    uint32_t failure_tick = 0;       // GUARDED_BY(open_lock); 0 = no failure pending
    std::atomic<int32_t> state{-1};  // -1 idle, 1 the current open built its link, 0 it failed
    std::atomic<int32_t> pending_opens{0};
    // The receiver of the last close while it ends, outside the table. GUARDED_BY(receiver
    // table lock)
    std::weak_ptr<Receiver> ending;
};

class ReceiverTable {
  public:
    static constexpr unsigned kSlots = 64;
    static constexpr uint32_t kTcpBackOffMs = 40000;

    // Builds the link of one kind; nullptr for a kind this server cannot reach.
    using LinkFactory = std::function<std::unique_ptr<Receiver>(
        LinkKind kind, const std::string& address, const ReceiverContext& context)>;

    explicit ReceiverTable(Server& server);
    ~ReceiverTable();

    Server& server() { return server_; }
    ReceiverEntry& entry(unsigned n) { return entries_[n]; }
    // REQUIRES: the receiver table lock (all four). A receiver is shared: whoever waits for it
    // outside the table lock (a command, the end of a close) holds it alive, and the last
    // holder ends it.
    Receiver* slot(unsigned n) { return n >= 1 && n <= kSlots ? slots_[n].get() : nullptr; }
    std::shared_ptr<Receiver> shared_slot(unsigned n) {
        return n >= 1 && n <= kSlots ? slots_[n] : nullptr;
    }
    void set_slot(unsigned n, std::shared_ptr<Receiver> r) { slots_[n] = std::move(r); }
    std::shared_ptr<Receiver> take_slot(unsigned n) { return std::move(slots_[n]); }
    MessageTable& messages() { return messages_; }
    ReceiverContext MakeContext() const;

    // Links of kinds other than COM come from their own subsystems.
    LinkFactory link_factory;
    // The data stream's seams: delivery of a checked container and the send of a read's
    // frames (reader thread), and the output list sent again for the clients left after a
    // close.
    std::function<void(Receiver&, const uint8_t*, size_t)> deliver;
    std::function<void(Receiver&)> send_delivered;
    std::function<bool(Receiver&)> resend_output;
    // The output list sent again through the seam (ResendOutputList when none is set).
    bool ResendOutput(Receiver& r);
    // Asks the file transfer of an attachment being closed to end; never waits (the caller may
    // hold the receiver table lock). `await_transfer` then waits for its end without locks.
    std::function<void(Attachment&)> cancel_transfer;
    std::function<void(const std::shared_ptr<TransferSession>&)> await_transfer;

    // Starts the thread that releases the clients of a receiver whose link has stopped (a
    // hung-up line, a receiver that no longer answers), so clients that only take data hear of
    // it too. Stopped by the destructor.
    void StartLostWatch();

  private:
    void LostWatch();

    Server& server_;
    std::array<ReceiverEntry, kSlots + 1> entries_;
    std::array<std::shared_ptr<Receiver>, kSlots + 1> slots_;  // GUARDED_BY(receiver table lock)
    MessageTable messages_;
    platform::Event watch_stop_{platform::Event::Reset::Manual};
    platform::Thread watch_;
};

// Creates the server's receiver table and plugs the receivers into the core's hooks. Call once,
// before StartServer.
ReceiverTable& InstallReceivers(Server& server);
ReceiverTable& Receivers(Server& server);

unsigned OpenRcv(Server& server, std::string_view args, ClientSession& session, uint8_t handle);
// REQUIRES: the receiver table lock. Whether the session's handle holds an attachment.
bool HasAttachment(const ClientSession& session, uint8_t handle);

// The request handler: CloseRcv with its reply.
unsigned CloseRcvRequest(Server& server, std::string_view args, ClientSession& session,
                         uint8_t handle);
// Also used with `set_reply` off by session ends. EXCLUDES: the receiver table lock and the
// client table lock (it waits for the receiver).
bool CloseRcv(Server& server, bool set_reply, ClientSession& session, uint8_t handle);

// A close in two steps, so that the tables are never held while a receiver is waited for:
// DetachHandle does the table work, FinishClose the receiver's part.
struct PendingClose {
    std::shared_ptr<Receiver> receiver;  // empty: the handle held nothing to close
    bool last = false;  // the last user: the receiver has left the table and ends with this
    std::shared_ptr<TransferSession> transfer;  // asked to end; awaited before the receiver's part
    uint8_t gate_stream = 0;  // a gate's stream for the attachment's data, to be closed
};
// REQUIRES: the receiver table lock. Takes the handle's attachment off the session and out of
// the receiver's stream, counts the session's totals and, for the last user, takes the
// receiver out of the table. `reply` gets "RE:OK. Send=%u" or the refusal.
PendingClose DetachHandle(Server& server, ClientSession& session, uint8_t handle,
                          std::string* reply);
// REQUIRES: the receiver table lock. Every handle on receiver `name` of every session but the
// one in `skip_slot` gets the frame `type` with `notice` and is detached; the closes' receiver
// part is the caller's, once it has let the tables go.
std::vector<PendingClose> DetachEveryHandle(Server& server, const std::string& name, uint16_t type,
                                            const std::string& notice, int skip_slot = -1);
// EXCLUDES: the receiver table lock and the client table lock. A live receiver's output is
// stopped and sent again for the clients left; the last user's receiver gets its terminate
// commands and ends when the last holder lets it go. The outcome of the output list.
bool FinishClose(Server& server, PendingClose close);

// Stops the receiver's output (nothing for a gate). Takes the command lock.
void DisableOutput(Receiver& r);
// Sends the output list in "%em%em,," pieces; true when every piece was accepted. Takes the
// command lock and the attachment lock.
bool ResendOutputList(Receiver& r);
// Holds the client table lock and the receiver table lock together. A session may hold either
// while it waits for the other, so both are taken by polling; with `max_wait_ms` 0 it polls
// until it has them, else it gives up after that long (owns() false).
class ClientsAndReceiversLock {
  public:
    ClientsAndReceiversLock(Server& server, uint32_t max_wait_ms = 0);
    ~ClientsAndReceiversLock();
    ClientsAndReceiversLock(const ClientsAndReceiversLock&) = delete;
    ClientsAndReceiversLock& operator=(const ClientsAndReceiversLock&) = delete;
    bool owns() const { return table_ != nullptr; }
    // Lets the client table go early, keeping the receiver table.
    void ReleaseClients();

  private:
    platform::RecursiveLock* clients_ = nullptr;
    platform::RecursiveLock* table_ = nullptr;
};

// Releases every client of receiver n with the 0xC00 notice; the last close deletes it. With
// `which`, only when slot n still holds that receiver (it may have been closed and opened
// again meanwhile). EXCLUDES: the receiver table lock and the client table lock, which it
// takes together; it never waits for a receiver while it holds them.
void ConnectionLost(Server& server, unsigned n, const Receiver* which = nullptr);

}  // namespace orvana
