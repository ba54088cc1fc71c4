#pragma once
// The data stream's delivery in one process: an open receiver without a transport, whose
// containers go through the stream parser as a reader thread's reads would, and clients on
// real loopback sockets attached to it.

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/blocking_socket.h"
#include "core/client_session.h"
#include "core/client_writer.h"
#include "core/event_log.h"
#include "receivers/attachment.h"
#include "receivers/deliver.h"
#include "receivers/message_table.h"
#include "receivers/receiver.h"
#include "tests/support/test_env.h"

namespace orvana::test {

class NullLink : public Receiver {
  public:
    using Receiver::Receiver;
    uint32_t Write(const void*, uint32_t length) override { return length; }
    bool SetFlowControl(bool) override { return true; }
    bool SetSpeed(uint32_t) override { return true; }
};

// ">>", the length, the index byte, the payload and its checksum.
std::string Container(uint8_t index, const std::string& payload);

class StreamRig {
  public:
    struct Client {
        std::shared_ptr<ClientSession> session;
        std::shared_ptr<Attachment> attachment;
        std::unique_ptr<CBlockingSocket> peer;  // the client's end
    };

    // Messages of "jps/": WL (0), RT (1), PO (2), VE (3), PV (4), SI (5).
    explicit StreamRig(QueueBounds bounds = {});
    ~StreamRig();

    // A client on `handle` (1 to 4) attached with `request` ("0,RT:0.5"); null when refused.
    Client* AddClient(const std::string& request, uint8_t handle = 1);
    // Bytes through the stream parser, in reads of at most 4096.
    void Feed(const std::string& bytes);
    // The next whole frame on a client's end, or nullopt within `ms`.
    static std::optional<std::string> ReadFrame(CBlockingSocket& peer, uint32_t ms = 2000);

    Receiver& receiver() { return *receiver_; }
    std::deque<Client>& clients() { return clients_; }
    std::string LogText() { return ReadFile(log_.FileName()); }

  private:
    TempDir dir_;
    EventLog log_{dir_.File("rig")};
    MessageTable messages_;
    CBlockingSocket listener_;
    uint16_t port_ = 0;
    ClientWriter writer_;
    std::unique_ptr<NullLink> receiver_;
    std::deque<Client> clients_;  // stable: AddClient hands out pointers
};

}  // namespace orvana::test
