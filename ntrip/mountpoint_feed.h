#pragma once
// A mountpoint's stream from its receiver: a client inside the server, logged in as the Ntrip
// system user, that opens the receiver and attaches the mountpoint's messages the way a remote
// client would, so opening on demand, sharing with other clients, per-client periods and the
// connection list all hold for it. The receiver's reader hands each read's data frames to the
// feed, which passes their payloads on without waiting.

#include <functional>
#include <memory>
#include <string>

#include "core/send_queue.h"
#include "ntrip/caster_config.h"

namespace orvana {
class Server;
class ClientSession;
}  // namespace orvana

namespace orvana::ntrip {

class MountpointFeed {
  public:
    // Called on the receiver's reader thread with the message bytes of one read; must not wait.
    using Publish = std::function<void(SharedBytes bytes)>;

    MountpointFeed(Server& server, MountpointConfig config, Publish publish);
    ~MountpointFeed();
    MountpointFeed(const MountpointFeed&) = delete;
    MountpointFeed& operator=(const MountpointFeed&) = delete;

    // Takes a client slot, logs in, opens the receiver and attaches every message list. False
    // with `why` set (the server's reply) when any step fails; nothing is left open then.
    bool Open(std::string* why);
    // Closes the receiver and gives the slot back, as the client's own CloseRcv would.
    void Close();
    // The client inside the server while open (the connection list shows its task).
    std::shared_ptr<ClientSession> session() const { return client_; }

  private:
    bool Call(std::string_view line, uint8_t handle, std::string* why);

    Server& server_;
    MountpointConfig config_;
    Publish publish_;
    std::shared_ptr<ClientSession> client_;
    bool receiver_open_ = false;
};

// The data payloads of the server frames in `frames` (whole frames, as the server queues them
// to a client), in order; other frames are skipped.
std::string DataPayloads(const std::vector<uint8_t>& frames);

}  // namespace orvana::ntrip
