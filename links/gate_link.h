#pragma once
// A receiver that another server of this kind owns ("GATE host"): the link logs in to that
// server on this server's own port as a client, opens the receiver there, and from then on
// sends the receiver's commands as request frames and takes that server's frames back. The
// other server answers a passed-on client request itself.
//
// Each client here that asks for data messages gets a stream of its own: a further connection
// to the other server, logged in and with the receiver open like the link's own, on which the
// client's Attach and Detach go on and its data frames come back, to go on to the client on its
// own handle. The other server so keeps every client's messages and periods apart, and closing
// the stream's connection ends them there.
//
// Only the reader thread receives from the socket; destruction breaks the connection, which
// ends the reader's receive at once, and the other server releases what the link held.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
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

    // A client's own stream (see above), whose data frames go to `client` on `handle`: its
    // number, or 0 with `refusal` set when the other server did not open the receiver.
    uint8_t OpenClientStream(std::weak_ptr<ClientSession> client, uint8_t handle,
                             std::string* refusal);
    // A passed-on request (a whole request frame) on the client's stream; the other server's
    // reply text goes to `reply_text`. True when it succeeded.
    bool PassOnStream(uint8_t stream, const std::string& frame, std::string* reply_text);
    // No more of the stream's data goes to its client (it is about to let the handle go). Never
    // waits.
    void MuteClientStream(uint8_t stream);
    // Ends the stream and its connection.
    void CloseClientStream(uint8_t stream);

  private:
    struct ClientRoute {
        std::weak_ptr<ClientSession> client;
        uint8_t handle = 0;
    };

    // Sends a request and waits (bounded) for its reply; true when the reply's code is not 0.
    bool Request(const std::string& text);
    // The client stream of that number, or null (also while its link is still being made).
    std::shared_ptr<GateLink> FindStream(uint8_t number);
    void ReaderThread();
    void OnFrame(const ServerFrame& f);

    CBlockingSocket socket_;
    std::atomic<uint8_t> channel_{0};
    std::atomic<unsigned> reply_code_{0};
    std::atomic<uint8_t> reply_handle_{0};
    const std::string user_line_, receiver_line_;
    std::mutex route_lock_;
    ClientRoute route_;  // GUARDED_BY(route_lock_); a client stream's client
    std::mutex streams_lock_;
    std::map<uint8_t, std::shared_ptr<GateLink>> streams_;  // GUARDED_BY(streams_lock_)
    platform::Thread reader_;
};

}  // namespace orvana
