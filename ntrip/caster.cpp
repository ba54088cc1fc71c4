#include "ntrip/caster.h"

#include <algorithm>
#include <cstdio>

#include "core/blocking_socket.h"
#include "core/client_session.h"
#include "core/client_table.h"
#include "core/login.h"
#include "core/server.h"
#include "ntrip/caster_parts.h"
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
constexpr size_t kReadTurn = 64 * 1024;    // what one event reads of a connection at most
constexpr size_t kTurnBytes = 256 * 1024;  // what one turn sends to a connection at most
constexpr size_t kMaxRoverLine = 512;
constexpr uint32_t kGgaLogMs = 60000;  // a rover's position is logged once a minute at most

}  // namespace

Caster::Caster(Server& server, CasterConfig config)
    : server_(server), config_(std::move(config)), slots_(kMaxConnections) {
    sourcetable_ = SourcetableText(config_);
    // Rovers are held to the clients' bounds.
    bounds_ = server_.client_queue_bounds();
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
    listener_ = platform::ListenNonBlocking(at, platform::MaxBacklog());
    if (listener_ == platform::kNoSocket || !poller_.Watch(listener_, kListenKey) ||
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

TrafficCounters* Caster::traffic() {
    return &server_.metrics().ntrip;
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
    // The answer goes first in the queue; the stream follows it.
    const std::string start = StreamStartReply(version2);
    c.out.Queue(std::vector<uint8_t>(start.begin(), start.end()));
    JoinMount(c, m, version2);
    server_.log().WriteLine("NTRIP rover " + c.Who() + " on " + m.config.name);
}

void Caster::JoinMount(Connection& c, Mount& m, bool chunked) {
    c.chunked = chunked;
    c.state = Connection::State::kRover;
    std::lock_guard<std::mutex> guard(mu_);
    c.mount = &m;
    m.rovers.push_back(&c);
    if (c.upload != nullptr) ++m.uploads_streaming;
    if (m.rovers.size() == 1) m.changed.notify_all();
    ShowState(m);
}

void Caster::ReadStream(Connection& c) {
    const uint64_t key = c.key;  // `c` is gone once a close took it
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
            if (Find(key) == nullptr) return;
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
