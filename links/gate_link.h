#pragma once
// A receiver that another server of this kind owns ("GATE host"): the link logs in to that
// server on this server's own port as a client, opens the receiver there, and from then on
// sends the receiver's commands as request frames and takes that server's frames back. The
// other server answers a passed-on client request itself.
//
// Only the reader thread receives from the socket; destruction breaks the connection, which
// ends the reader's receive at once, and the other server releases what the link held.

#include <atomic>
#include <cstdint>
#include <string>

#include "core/blocking_socket.h"
#include "platform/sync.h"
#include "receivers/receiver.h"

namespace orvana {

struct ServerFrame;

class GateLink : public Receiver {
  public:
    static constexpr uint32_t kRequestWaitMs = 75000;
    static constexpr uint16_t kDefaultPort = 8000;

    // `address`: the other server's host. `user_line` and `receiver_line`: the arguments of the
    // OpenUsr and OpenRcv requests sent there. On return either the receiver is open on the
    // other server and error_text is empty, or error_text says why not.
    GateLink(ReceiverContext context, const std::string& address, const std::string& user_line,
             const std::string& receiver_line);
    ~GateLink() override;

    // One request frame on the link's channel; the bytes sent with the header, 0 on failure.
    uint32_t Write(const void* data, uint32_t length) override;
    void ClearInput() override {}
    bool SetFlowControl(bool) override { return false; }
    bool SetSpeed(uint32_t) override { return false; }

  private:
    // Sends a request and waits (bounded) for its reply; true when the reply's code is not 0.
    bool Request(const std::string& text);
    void ReaderThread();
    void OnFrame(const ServerFrame& f);

    CBlockingSocket socket_;
    std::atomic<uint8_t> channel_{0};
    std::atomic<unsigned> reply_code_{0};
    std::atomic<uint8_t> reply_handle_{0};
    platform::Thread reader_;
};

}  // namespace orvana
