#pragma once
// The caster's own pieces, shared by its files: a connection, a mountpoint and an upload as the
// serving thread keeps them. Not for use outside the caster.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/send_queue.h"
#include "ntrip/caster.h"
#include "ntrip/caster_config.h"
#include "ntrip/chunked_decoder.h"
#include "platform/net.h"
#include "platform/sync.h"

namespace orvana {
class ClientSession;
}

namespace orvana::ntrip {

inline constexpr size_t kReadBytes = 4096;  // one receive

// Text from the network as the event log may show it: no line ends or other control bytes.
inline std::string Printable(std::string text, size_t limit = 128) {
    if (text.size() > limit) text.resize(limit);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text;
}

struct Caster::Connection {
    platform::SocketFd fd = platform::kNoSocket;
    uint16_t slot = 0;
    uint64_t key = 0;
    std::string address;  // "a.b.c.d:port"
    uint32_t opened_at = 0;
    // kRover: a rover or an upload taking a mountpoint's stream; kSource: a relay's source.
    enum class State { kHead, kRover, kSource, kAnswered, kDialing, kUploadAnswer };
    State state = State::kHead;
    std::string in;                          // the request head so far
    std::string line;                        // a rover's line so far (its GGA sentences)
    Mount* mount = nullptr;                  // a rover's; GUARDED_BY(mu_) for other threads
    Mount* source_of = nullptr;              // a source's relay; GUARDED_BY(mu_)
    Upload* upload = nullptr;                // an upload's own connection
    std::unique_ptr<ChunkedDecoder> chunks;  // an NTRIP 2.0 source's chunked stream
    bool chunked = false;
    std::string user;
    bool want_room = false;
    bool close_after_send = false;
    // Set by other threads for the serving thread to end the connection.
    enum Ask { kKeep = 0, kOverBound = 1, kNoStream = 2 };
    std::atomic<int> close_asked{kKeep};
    uint64_t bytes_sent = 0;
    uint64_t bytes_received = 0;  // a source's
    uint32_t gga_logged_at = 0;
    bool gga_seen = false;
    SendQueue out;

    std::string CloseReason() const {
        return close_asked == kNoStream ? "sent away: the mountpoint has no stream" : "cut off";
    }
    std::string Who() const {
        return (user.empty() ? std::string("-") : user) + "(" + address + ")";
    }
};

struct Caster::Mount {
    MountpointConfig config;
    std::vector<Connection*> rovers;       // GUARDED_BY(mu_)
    Connection* source = nullptr;          // a relay's; GUARDED_BY(mu_)
    std::weak_ptr<ClientSession> session;  // its client while open; GUARDED_BY(mu_)
    unsigned uploads = 0;                  // configured for it
    unsigned uploads_streaming = 0;        // GUARDED_BY(mu_)
    std::condition_variable changed;
    platform::Thread feeder;
};

struct Caster::Upload {
    UploadConfig config;
    Mount* mount = nullptr;
    Connection* connection = nullptr;
    uint32_t next_try = 0;
    uint32_t backoff_ms = kFirstBackoffMs;
    uint32_t streaming_since = 0;
    bool streaming = false;

    std::string Where() const {
        return config.name + " to " + config.host + ":" + std::to_string(config.port) + "/" +
               config.remote_mount;
    }
};

}  // namespace orvana::ntrip
