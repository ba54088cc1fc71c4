// The caster's relays: a source pushes a stream to it (NTRIP 1.0 "SOURCE", 2.0 "POST").

#include <mutex>
#include <string>

#include "core/server.h"
#include "ntrip/caster.h"
#include "ntrip/caster_parts.h"
#include "ntrip/caster_replies.h"
#include "ntrip/http_head.h"
#include "platform/clock.h"

namespace orvana::ntrip {

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

}  // namespace orvana::ntrip
