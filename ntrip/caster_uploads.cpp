// The caster's uploads: a mountpoint's stream pushed to another caster as its source, dialled
// out by the serving thread and dialled again after a back-off.

#include <algorithm>
#include <mutex>
#include <string>

#include "core/server.h"
#include "ntrip/caster.h"
#include "ntrip/caster_parts.h"
#include "ntrip/caster_replies.h"
#include "ntrip/http_head.h"
#include "platform/clock.h"

namespace orvana::ntrip {

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
    JoinMount(c, *u.mount, u.config.version == 2);
    server_.log().WriteLine("NTRIP upload " + u.Where() + " streaming");
}

}  // namespace orvana::ntrip
