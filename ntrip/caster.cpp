#include "ntrip/caster.h"

#include <algorithm>
#include <cstdio>

#include "core/blocking_socket.h"
#include "core/client_session.h"
#include "core/client_table.h"
#include "core/config_keys.h"
#include "core/login.h"
#include "core/server.h"
#include "ntrip/caster_replies.h"
#include "ntrip/chunked_decoder.h"
#include "ntrip/http_head.h"
#include "ntrip/mountpoint_feed.h"
#include "ntrip/rover_auth.h"
#include "ntrip/sourcetable.h"
#include "platform/clock.h"

namespace orvana::ntrip {
namespace {

constexpr uint64_t kListenKey = uint64_t{1} << 62;
constexpr size_t kReadBytes = 4096;
constexpr size_t kReadTurn = 64 * 1024;    // what one event reads of a connection at most
constexpr size_t kTurnBytes = 256 * 1024;  // what one turn sends to a connection at most
constexpr size_t kMaxRoverLine = 512;
constexpr uint32_t kGgaLogMs = 60000;  // a rover's position is logged once a minute at most

// Text from the network as the event log may show it: no line ends or other control bytes.
std::string Printable(std::string text, size_t limit = 128) {
    if (text.size() > limit) text.resize(limit);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text;
}

}  // namespace

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

    std::string CloseReason() const {
        return close_asked == kNoStream ? "sent away: the mountpoint has no stream" : "cut off";
    }
    uint64_t bytes_sent = 0;
    uint64_t bytes_received = 0;  // a source's
    uint32_t gga_logged_at = 0;
    bool gga_seen = false;
    SendQueue out;

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

Caster::Caster(Server& server, CasterConfig config)
    : server_(server), config_(std::move(config)), slots_(kMaxConnections) {
    sourcetable_ = SourcetableText(config_);
    const uint32_t bytes = server_.store().ReadNumber(cfg::kActiveKey, cfg::kClientQueueBytes);
    const uint32_t seconds = server_.store().ReadNumber(cfg::kActiveKey, cfg::kClientQueueSeconds);
    bounds_.max_bytes = std::max<size_t>(bytes ? bytes : cfg::kClientQueueBytes.fallback,
                                         cfg::kMinClientQueueBytes);
    bounds_.max_age_ms = (seconds ? seconds : cfg::kClientQueueSeconds.fallback) * 1000;
    for (const MountpointConfig& m : config_.mountpoints) {
        auto mount = std::make_unique<Mount>();
        mount->config = m;
        mounts_.push_back(std::move(mount));
    }
    for (const UploadConfig& u : config_.uploads) {
        auto upload = std::make_unique<Upload>();
        upload->config = u;
        for (auto& m : mounts_)
            if (m->config.name == u.mountpoint) upload->mount = m.get();
        ++upload->mount->uploads;
        uploads_.push_back(std::move(upload));
    }
}

Caster::~Caster() {
    Stop();
}

bool Caster::Start(std::string* error) {
    for (const std::string& why : config_.refused) server_.log().WriteLine("ER:NTRIP " + why);
    if (!poller_.ok()) {
        *error = "no poller: " + std::to_string(platform::LastSocketError());
        return false;
    }
    std::string address = config_.address.empty() ? server_.listen_address() : config_.address;
    platform::Ipv4Endpoint at{0, config_.port};
    if (!platform::ParseDotted(address, &at.address)) {
        *error = "NTRIP caster: bad address " + address;
        return false;
    }
    listener_ = platform::OpenStreamSocket();
    if (listener_ == platform::kNoSocket || !platform::Bind(listener_, at) ||
        !platform::Listen(listener_, platform::MaxBacklog()) ||
        !platform::SetNonBlocking(listener_) || !poller_.Watch(listener_, kListenKey) ||
        !poller_.ArmReadable(listener_, kListenKey, false)) {
        *error = "NTRIP caster can't listen on " + address + ":" + std::to_string(at.port) +
                 ": error " + std::to_string(platform::LastSocketError());
        platform::CloseSocket(listener_);
        listener_ = platform::kNoSocket;
        return false;
    }
    platform::Ipv4Endpoint bound;
    port_ = platform::LocalEndpoint(listener_, &bound) ? bound.port : at.port;
    WriteSystemUser(server_, kNtripUser);
    started_ = true;
    for (auto& m : mounts_) {
        Mount* mount = m.get();
        if (!mount->config.relay) mount->feeder = platform::Thread([this, mount] { Feed(*mount); });
    }
    thread_ = platform::Thread([this] { Run(); });
    server_.log().WriteLine("NTRIP caster on " + address + ":" + std::to_string(port_) + ", " +
                            std::to_string(mounts_.size()) + " mountpoints, " +
                            std::to_string(uploads_.size()) + " uploads");
    return true;
}

void Caster::Stop() {
    if (!started_) return;
    started_ = false;
    {
        std::lock_guard<std::mutex> guard(mu_);
        stop_ = true;
        for (auto& m : mounts_) m->changed.notify_all();
    }
    poller_.Wake();
    thread_.Join();
    for (auto& m : mounts_) m->feeder.Join();
    for (auto& c : slots_)
        if (c) Close(*c, "server stopped");
    poller_.Forget(listener_);
    platform::CloseSocket(listener_);
    listener_ = platform::kNoSocket;
}

void Caster::Schedule(uint16_t key) {
    bool wake;
    {
        std::lock_guard<std::mutex> guard(ready_mu_);
        ready_.push_back(key);
        wake = sleeping_;
        sleeping_ = false;
    }
    if (wake) poller_.Wake();
}

void Caster::AwaitProgress(uint32_t limit_ms) {
    std::unique_lock<std::mutex> guard(progress_mu_);
    progress_.wait_for(guard, std::chrono::milliseconds(limit_ms));
}

// ---- the serving thread -------------------------------------------------------------------------

void Caster::Run() {
    std::vector<uint16_t> turn;
    uint64_t keys[64];
    uint32_t last_sweep = platform::TickCount();
    while (!stop_) {
        {
            std::lock_guard<std::mutex> guard(ready_mu_);
            turn.swap(ready_);
            sleeping_ = turn.empty();
        }
        const uint32_t since = platform::TickCount() - last_sweep;
        const uint32_t wait = !turn.empty() || since >= kSweepMs ? 0 : kSweepMs - since;
        const int n = poller_.Wait(wait, keys, 64);
        {
            std::lock_guard<std::mutex> guard(ready_mu_);
            sleeping_ = false;
        }
        for (int i = 0; i < n && !stop_; ++i) {
            if (keys[i] == kListenKey)
                Accept();
            else
                HandleEvent(keys[i]);
        }
        for (uint16_t slot : turn) {
            Connection* c = slot < slots_.size() ? slots_[slot].get() : nullptr;
            if (c == nullptr) continue;
            if (c->close_asked != Connection::kKeep) {
                Close(*c, c->CloseReason());
                continue;
            }
            if (!c->want_room) Flush(*c);
        }
        turn.clear();
        const uint32_t now = platform::TickCount();
        if (now - last_sweep >= kSweepMs) {
            last_sweep = now;
            Sweep(now);
        }
        for (auto& u : uploads_)
            if (u->connection == nullptr && static_cast<int32_t>(now - u->next_try) >= 0) Dial(*u);
    }
}

void Caster::Accept() {
    for (;;) {
        platform::Ipv4Endpoint peer;
        const platform::SocketFd fd = platform::AcceptNow(listener_, &peer);
        if (fd == platform::kNoSocket) {
            // Out of descriptors, say: the pending connection would wake this at once again,
            // so the listener rests until the next sweep.
            if (platform::LastSocketError() != 0) {
                listener_resting_ = true;
                return;
            }
            break;
        }
        const size_t slot = FreeSlot();
        if (slot == slots_.size()) {
            platform::CloseSocket(fd);
            continue;
        }
        std::unique_ptr<Connection> c = NewConnection(fd, slot, peer);
        platform::SetNoDelay(fd);
        if (!poller_.Watch(fd, c->key) || !poller_.ArmReadable(fd, c->key, false)) {
            platform::CloseSocket(fd);
            continue;
        }
        std::lock_guard<std::mutex> guard(mu_);
        slots_[slot] = std::move(c);
    }
    poller_.ArmReadable(listener_, kListenKey, false);
}

size_t Caster::FreeSlot() const {
    size_t slot = 0;
    while (slot < slots_.size() && slots_[slot]) ++slot;
    return slot;
}

std::unique_ptr<Caster::Connection> Caster::NewConnection(platform::SocketFd fd, size_t slot,
                                                          const platform::Ipv4Endpoint& peer) {
    auto c = std::make_unique<Connection>();
    c->fd = fd;
    c->slot = static_cast<uint16_t>(slot);
    c->key = slot | (++generation_ << 16);
    c->address = platform::DottedAddress(peer.address) + ":" + std::to_string(peer.port);
    c->opened_at = platform::TickCount();
    c->out.SetWriter(this, c->slot, bounds_);
    // As for clients: the kernel's own buffer would hide a peer that stopped reading.
    platform::SetSendBuffer(fd, CBlockingSocket::kClientSendBuffer);
    return c;
}

Caster::Connection* Caster::Find(uint64_t key) {
    const size_t slot = key & 0xFFFF;
    if (slot >= slots_.size() || !slots_[slot] || slots_[slot]->key != key) return nullptr;
    return slots_[slot].get();
}

void Caster::HandleEvent(uint64_t key) {
    Connection* c = Find(key);
    if (c == nullptr) return;
    if (c->want_room && c->out.ResumeSending()) {
        c->want_room = false;
        Flush(*c);
        if ((c = Find(key)) == nullptr) return;
    }
    switch (c->state) {
        case Connection::State::kHead:
            ReadHead(*c);
            break;
        case Connection::State::kDialing:
            Connected(*c);
            break;
        case Connection::State::kUploadAnswer:
            ReadUploadAnswer(*c);
            break;
        default:
            ReadStream(*c);
    }
    if ((c = Find(key)) != nullptr) Rearm(*c);
}

void Caster::Rearm(Connection& c) {
    if (!poller_.ArmReadable(c.fd, c.key, c.want_room)) Close(c, "poll failed");
}

void Caster::ReadHead(Connection& c) {
    char buffer[kReadBytes];
    for (size_t turn = 0; turn < kReadTurn;) {
        const long n = platform::ReceiveNow(c.fd, buffer, std::min(sizeof buffer, kMaxHeadBytes));
        if (n == platform::kNothingYet) return;
        if (n <= 0) {
            Close(c, n == 0 ? "closed before its request" : "receive failed");
            return;
        }
        c.in.append(buffer, static_cast<size_t>(n));
        turn += static_cast<size_t>(n);
        HttpHead head;
        size_t head_bytes = 0;
        const HeadParse parsed = ParseHttpHead(c.in, &head, &head_bytes);
        if (parsed == HeadParse::kNeedMore) continue;
        c.state = Connection::State::kAnswered;
        if (parsed == HeadParse::kBad) {
            Reply(c, ErrorReply(false, "400 Bad Request"), true);
            return;
        }
        const bool version2 = head.Field("Ntrip-Version").find("Ntrip/2") != std::string::npos;
        std::string path = head.target.substr(0, head.target.find('?'));
        const std::string mount_name = path.empty() || path[0] != '/' ? "" : path.substr(1);
        if (head.method == "SOURCE" || head.method == "POST") {
            // Anything after the head is the stream already.
            const std::string rest = c.in.substr(head_bytes);
            c.in.clear();
            StartSource(c, head, version2);
            if (c.state == Connection::State::kSource && !rest.empty()) TakeSourceBytes(c, rest);
            return;
        }
        if (head.method != "GET") {
            Reply(c, ErrorReply(version2, "501 Not Implemented"), true);
            return;
        }
        Mount* mount = nullptr;
        for (auto& m : mounts_)
            if (m->config.name == mount_name) mount = m.get();
        if (mount == nullptr) {
            Reply(c, SourcetableReply(version2, sourcetable_), true);
            return;
        }
        std::string user, password;
        ParseBasicAuthorization(head.Field("Authorization"), &user, &password);
        c.user = Printable(user);
        if (!MayTakeMountpoint(server_.store(), server_.users_path(), mount->config, user,
                               password)) {
            server_.log().WriteLine("ER:NTRIP rover " + c.Who() + " refused for " + mount_name);
            Reply(c, UnauthorizedReply(version2, mount_name), true);
            return;
        }
        const std::string gga = head.Field("Ntrip-GGA");
        StartRover(c, *mount, version2);
        if (!gga.empty()) server_.log().WriteLine("NTRIP rover " + c.Who() + " at " + gga);
        // Anything after the head is the rover's first line.
        c.in.erase(0, head_bytes);
        c.line = std::move(c.in);
        c.in.clear();
        return;
    }
}

void Caster::StartRover(Connection& c, Mount& m, bool version2) {
    c.chunked = version2;
    c.state = Connection::State::kRover;
    // The answer goes first in the queue; the stream follows it.
    const std::string start = StreamStartReply(version2);
    c.out.Queue(std::vector<uint8_t>(start.begin(), start.end()));
    {
        std::lock_guard<std::mutex> guard(mu_);
        c.mount = &m;
        m.rovers.push_back(&c);
        if (m.rovers.size() == 1) m.changed.notify_all();
        ShowState(m);
    }
    server_.log().WriteLine("NTRIP rover " + c.Who() + " on " + m.config.name);
}

void Caster::StartSource(Connection& c, const HttpHead& head, bool version2) {
    const std::string path = head.target.substr(0, head.target.find('?'));
    const std::string name = path.size() > 1 && path[0] == '/' ? path.substr(1) : "";
    Mount* mount = nullptr;
    for (auto& m : mounts_)
        if (m->config.name == name && m->config.relay) mount = m.get();
    if (mount == nullptr) {
        Reply(c, version2 ? ErrorReply(true, "404 Not Found") : "ERROR - Bad Mountpoint\r\n", true);
        return;
    }
    std::string user, password = head.source_password;
    if (version2) ParseBasicAuthorization(head.Field("Authorization"), &user, &password);
    if (password != mount->config.source_password) {
        server_.log().WriteLine("ER:NTRIP source " + c.address + " refused for " + name);
        Reply(c, version2 ? UnauthorizedReply(true, name) : "ERROR - Bad Password\r\n", true);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(mu_);
        if (mount->source == nullptr) {
            mount->source = &c;
            c.source_of = mount;
        }
    }
    if (c.source_of == nullptr) {
        Reply(c,
              version2 ? ErrorReply(true, "409 Conflict")
                       : "ERROR - Mount Point Taken or Invalid\r\n",
              true);
        return;
    }
    c.state = Connection::State::kSource;
    if (version2 && head.Field("Transfer-Encoding").find("chunked") != std::string::npos)
        c.chunks = std::make_unique<ChunkedDecoder>();
    Reply(c, version2 ? SourceAcceptedReply() : "ICY 200 OK\r\n", false);
    server_.log().WriteLine("NTRIP source " + c.address + " on " + name);
}

void Caster::TakeSourceBytes(Connection& c, std::string_view bytes) {
    std::string data;
    if (c.chunks) {
        if (!c.chunks->Feed(bytes, &data)) {
            Close(c, "broke its chunked coding");
            return;
        }
    } else {
        data.assign(bytes);
    }
    if (data.empty()) return;
    c.bytes_received += data.size();
    Publish(*c.source_of, std::make_shared<const std::vector<uint8_t>>(data.begin(), data.end()));
}

void Caster::RetryLater(Upload& u) {
    u.next_try = platform::TickCount() + u.backoff_ms;
    u.backoff_ms = std::min(u.backoff_ms * 2, kLastBackoffMs);
}

void Caster::Dial(Upload& u) {
    platform::Ipv4Endpoint to{0, u.config.port};
    // A name is looked up here, on the serving thread: configure a dotted address where the
    // name service may be slow.
    if (!platform::ParseDotted(u.config.host, &to.address) &&
        !platform::ResolveIpv4(u.config.host, &to.address)) {
        server_.log().WriteLine("ER:NTRIP upload " + u.Where() + ": can't find the host");
        RetryLater(u);
        return;
    }
    const size_t slot = FreeSlot();
    const platform::SocketFd fd =
        slot < slots_.size() ? platform::OpenStreamSocket() : platform::kNoSocket;
    if (fd == platform::kNoSocket) {
        RetryLater(u);
        return;
    }
    std::unique_ptr<Connection> c = NewConnection(fd, slot, to);
    c->state = Connection::State::kDialing;
    c->upload = &u;
    if (!platform::ConnectStart(fd, to) || !poller_.Watch(fd, c->key) ||
        !poller_.ArmReadable(fd, c->key, true)) {
        server_.log().WriteLine("ER:NTRIP upload " + u.Where() + ": can't connect, error " +
                                std::to_string(platform::LastSocketError()));
        poller_.Forget(fd);
        platform::CloseSocket(fd);
        RetryLater(u);
        return;
    }
    u.connection = c.get();
    std::lock_guard<std::mutex> guard(mu_);
    slots_[slot] = std::move(c);
}

void Caster::Connected(Connection& c) {
    const int error = platform::ConnectResult(c.fd);
    if (error != 0) {
        Close(c, "can't connect, error " + std::to_string(error));
        return;
    }
    platform::SetNoDelay(c.fd);
    const UploadConfig& u = c.upload->config;
    std::string request;
    if (u.version == 1) {
        request = "SOURCE " + u.password + " /" + u.remote_mount +
                  "\r\nSource-Agent: " + kServerName + "\r\nSTR: \r\n\r\n";
    } else {
        request = "POST /" + u.remote_mount + " HTTP/1.1\r\nHost: " + u.host + ":" +
                  std::to_string(u.port) +
                  "\r\nNtrip-Version: Ntrip/2.0\r\nUser-Agent: " + kServerName +
                  "\r\nAuthorization: Basic " + Base64Encode(u.user + ":" + u.password) +
                  "\r\nNtrip-STR: \r\nConnection: close\r\nTransfer-Encoding: chunked\r\n\r\n";
    }
    c.state = Connection::State::kUploadAnswer;
    c.opened_at = platform::TickCount();
    Reply(c, request, false);
    Flush(c);
}

void Caster::ReadUploadAnswer(Connection& c) {
    char buffer[kReadBytes];
    const long n = platform::ReceiveNow(c.fd, buffer, sizeof buffer);
    if (n == platform::kNothingYet) return;
    if (n <= 0) {
        Close(c, "closed before it answered");
        return;
    }
    c.in.append(buffer, static_cast<size_t>(n));
    const size_t line_end = c.in.find('\n');
    if (line_end == std::string::npos) {
        if (c.in.size() > kMaxHeadBytes) Close(c, "answered no line");
        return;
    }
    std::string first = c.in.substr(0, line_end);
    if (!first.empty() && first.back() == '\r') first.pop_back();
    const bool icy = first == "ICY 200 OK";
    const bool http_ok =
        first.rfind("HTTP/1.", 0) == 0 && first.size() >= 12 && first.compare(8, 4, " 200") == 0;
    if (!icy && !http_ok) {
        Close(c, "refused: " + Printable(first));
        return;
    }
    if (http_ok) {
        HttpHead head;
        size_t head_bytes = 0;
        const HeadParse parsed = ParseHttpHead(c.in, &head, &head_bytes);
        if (parsed == HeadParse::kNeedMore) return;
        if (parsed == HeadParse::kBad) {
            Close(c, "answered no HTTP head");
            return;
        }
    }
    c.in.clear();
    Upload& u = *c.upload;
    u.streaming = true;
    u.streaming_since = platform::TickCount();
    c.chunked = u.config.version == 2;
    c.state = Connection::State::kRover;
    {
        std::lock_guard<std::mutex> guard(mu_);
        c.mount = u.mount;
        u.mount->rovers.push_back(&c);
        ++u.mount->uploads_streaming;
        if (u.mount->rovers.size() == 1) u.mount->changed.notify_all();
        ShowState(*u.mount);
    }
    server_.log().WriteLine("NTRIP upload " + u.Where() + " streaming");
}

void Caster::ReadStream(Connection& c) {
    char buffer[kReadBytes];
    for (size_t turn = 0; turn < kReadTurn;) {
        const long n = platform::ReceiveNow(c.fd, buffer, sizeof buffer);
        if (n == platform::kNothingYet) return;
        if (n <= 0) {
            Close(c, n == 0 ? "left" : "receive failed");
            return;
        }
        turn += static_cast<size_t>(n);
        if (c.state == Connection::State::kSource) {
            TakeSourceBytes(c, std::string_view(buffer, static_cast<size_t>(n)));
            if (Find(c.key) == nullptr) return;  // closed
            continue;
        }
        if (c.state != Connection::State::kRover) continue;  // an answered request: dropped
        // GGA sentences are logged, never passed to the receiver.
        for (long i = 0; i < n; ++i) {
            const char ch = buffer[i];
            if (ch != '\n') {
                if (c.line.size() < kMaxRoverLine) c.line.push_back(ch);
                continue;
            }
            while (!c.line.empty() && c.line.back() == '\r') c.line.pop_back();
            const uint32_t now = platform::TickCount();
            if (c.line.size() > 6 && c.line[0] == '$' && c.line.compare(3, 3, "GGA") == 0 &&
                (!c.gga_seen || now - c.gga_logged_at >= kGgaLogMs)) {
                c.gga_seen = true;
                c.gga_logged_at = now;
                server_.log().WriteLine("NTRIP rover " + c.Who() + " at " +
                                        Printable(c.line, kMaxRoverLine));
            }
            c.line.clear();
        }
    }
}

void Caster::Flush(Connection& c) {
    platform::ByteSpan spans[platform::kMaxGatheredSpans];
    size_t turn = 0;
    for (;;) {
        const size_t count = c.out.Gather(spans, platform::kMaxGatheredSpans, kTurnBytes);
        if (count == 0) break;
        const long n = platform::SendSome(c.fd, spans, count);
        if (n < 0) {
            c.out.Sent(0);
            Close(c, "send failed");
            return;
        }
        c.out.Sent(static_cast<size_t>(n));
        c.bytes_sent += static_cast<uint64_t>(n);
        if (n == 0) {
            c.out.AwaitRoom();
            c.want_room = true;
            Rearm(c);
            return;
        }
        turn += static_cast<size_t>(n);
        if (turn >= kTurnBytes) {
            Schedule(c.slot);
            return;
        }
    }
    if (c.close_after_send && c.out.queued_bytes() == 0) Close(c, "answered");
}

void Caster::Sweep(uint32_t now) {
    if (listener_resting_) {
        listener_resting_ = false;
        poller_.ArmReadable(listener_, kListenKey, false);
    }
    for (auto& slot : slots_) {
        Connection* c = slot.get();
        if (c == nullptr) continue;
        if (c->state == Connection::State::kHead && now - c->opened_at > kHeadLimitMs) {
            Close(*c, "no request");
        } else if ((c->state == Connection::State::kDialing ||
                    c->state == Connection::State::kUploadAnswer) &&
                   now - c->opened_at > kUploadAnswerMs) {
            Close(*c, "no answer");
        } else if (c->close_asked != Connection::kKeep) {
            Close(*c, c->CloseReason());
        } else if (c->out.OldestAge(now) > bounds_.max_age_ms) {
            c->out.CutOff(10060, now);
            Close(*c, "cut off");
        } else if (c->want_room && c->out.ResumeSending()) {
            // A socket that never told of room again is tried once a second.
            c->want_room = false;
            Flush(*c);
        }
    }
}

void Caster::Reply(Connection& c, const std::string& text, bool then_close) {
    c.close_after_send = then_close;
    c.out.Queue(std::vector<uint8_t>(text.begin(), text.end()));
}

void Caster::Close(Connection& c, const std::string& why) {
    Mount* mount = nullptr;
    Mount* relay = nullptr;
    {
        std::lock_guard<std::mutex> guard(mu_);
        relay = c.source_of;
        if (relay != nullptr) relay->source = nullptr;
        c.source_of = nullptr;
        mount = c.mount;
        if (mount != nullptr) {
            auto& rovers = mount->rovers;
            rovers.erase(std::remove(rovers.begin(), rovers.end(), &c), rovers.end());
            if (rovers.empty()) mount->changed.notify_all();
            if (c.upload != nullptr) --mount->uploads_streaming;
            ShowState(*mount);
            c.mount = nullptr;
        }
    }
    if (relay != nullptr)
        server_.log().WriteLine("NTRIP source " + c.address + " on " + relay->config.name + " " +
                                why + ", " + std::to_string(c.bytes_received) + " bytes");
    if (c.upload != nullptr) {
        Upload& u = *c.upload;
        u.connection = nullptr;
        const uint32_t now = platform::TickCount();
        if (u.streaming && now - u.streaming_since >= kSteadyUploadMs)
            u.backoff_ms = kFirstBackoffMs;
        u.streaming = false;
        server_.log().WriteLine("ER:NTRIP upload " + u.Where() + " " + why + ", " +
                                std::to_string(c.bytes_sent) + " bytes sent; again in " +
                                std::to_string(u.backoff_ms / 1000) + " s");
        RetryLater(u);
    } else if (mount != nullptr) {
        const CutOffReport cut = c.out.cut_off_report();
        char line[256];
        if (c.out.cut_off())
            std::snprintf(line, sizeof line, ": %zu bytes waiting, the oldest for %u ms",
                          cut.waiting, cut.oldest_ms);
        else
            std::snprintf(line, sizeof line, ", %llu bytes sent",
                          static_cast<unsigned long long>(c.bytes_sent));
        server_.log().WriteLine(std::string(c.out.cut_off() ? "ER:" : "") + "NTRIP rover " +
                                c.Who() + " on " + mount->config.name + " " + why + line);
    }
    c.out.SetWriter(nullptr, 0, bounds_);
    poller_.Forget(c.fd);
    platform::CloseSocket(c.fd);
    std::lock_guard<std::mutex> guard(mu_);
    slots_[c.slot].reset();
}

// ---- the receivers' side ------------------------------------------------------------------------

void Caster::Publish(Mount& m, const SharedBytes& bytes) {
    SharedBytes chunk;
    std::lock_guard<std::mutex> guard(mu_);
    for (Connection* c : m.rovers) {
        if (c->chunked && !chunk) {
            const std::string text = Chunk(
                std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
            chunk = std::make_shared<const std::vector<uint8_t>>(text.begin(), text.end());
        }
        if (c->out.Queue(c->chunked ? chunk : bytes) == SendQueue::Push::kOverBound) {
            c->close_asked = Connection::kOverBound;
            Schedule(c->slot);
        }
    }
}

void Caster::ShowState(Mount& m) {
    std::shared_ptr<ClientSession> s = m.session.lock();
    if (!s) return;
    std::string task = "NTRIP/" + m.config.name + " rovers " +
                       std::to_string(m.rovers.size() - m.uploads_streaming);
    if (m.uploads > 0)
        task +=
            ", uploads " + std::to_string(m.uploads_streaming) + "/" + std::to_string(m.uploads);
    std::lock_guard<platform::RecursiveLock> guard(server_.clients().lock());
    s->task = std::move(task);
}

void Caster::Feed(Mount& m) {
    std::unique_ptr<MountpointFeed> feed;
    bool failed = false;  // the last open failed: its rovers are being sent away
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        m.changed.wait(lock, [&] {
            return stop_ || (failed ? m.rovers.empty() : m.rovers.empty() == (feed != nullptr));
        });
        if (stop_) break;
        if (failed) {
            failed = false;
            continue;
        }
        const bool wanted = !m.rovers.empty();
        lock.unlock();
        if (wanted) {
            feed = std::make_unique<MountpointFeed>(server_, m.config,
                                                    [this, &m](SharedBytes b) { Publish(m, b); });
            std::string why;
            if (feed->Open(&why)) {
                server_.log().WriteLine("NTRIP mountpoint " + m.config.name + " open on " +
                                        m.config.receiver);
                std::lock_guard<std::mutex> guard(mu_);
                m.session = feed->session();
                ShowState(m);
            } else {
                feed.reset();
                failed = true;
                server_.log().WriteLine("ER:NTRIP mountpoint " + m.config.name + ": " + why);
                std::lock_guard<std::mutex> guard(mu_);
                for (Connection* c : m.rovers) {
                    c->close_asked = Connection::kNoStream;
                    Schedule(c->slot);
                }
            }
        } else {
            {
                std::lock_guard<std::mutex> guard(mu_);
                m.session.reset();
            }
            feed->Close();
            feed.reset();
            server_.log().WriteLine("NTRIP mountpoint " + m.config.name + " closed");
        }
        lock.lock();
    }
    lock.unlock();
    if (feed) feed->Close();
}

}  // namespace orvana::ntrip
