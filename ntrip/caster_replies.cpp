#include "ntrip/caster_replies.h"

#include <cstdio>

namespace orvana::ntrip {
namespace {

std::string Head(bool version2, std::string_view status) {
    std::string h = version2 ? "HTTP/1.1 " : "HTTP/1.0 ";
    h.append(status);
    h += "\r\n";
    if (version2) h += "Ntrip-Version: Ntrip/2.0\r\n";
    h += std::string("Server: ") + kServerName + "\r\n";
    return h;
}

}  // namespace

std::string StreamStartReply(bool version2) {
    if (!version2) return "ICY 200 OK\r\n";
    return Head(true, "200 OK") +
           "Cache-Control: no-store, no-cache, max-age=0\r\nPragma: no-cache\r\n"
           "Connection: close\r\nContent-Type: gnss/data\r\nTransfer-Encoding: chunked\r\n\r\n";
}

std::string SourceAcceptedReply() {
    return Head(true, "200 OK") + "Connection: close\r\n\r\n";
}

std::string SourcetableReply(bool version2, std::string_view table) {
    std::string h = version2 ? Head(true, "200 OK") + "Connection: close\r\n"
                             : std::string("SOURCETABLE 200 OK\r\nServer: ") + kServerName + "\r\n";
    h += version2 ? "Content-Type: gnss/sourcetable\r\n" : "Content-Type: text/plain\r\n";
    h += "Content-Length: " + std::to_string(table.size()) + "\r\n\r\n";
    h.append(table);
    return h;
}

std::string UnauthorizedReply(bool version2, std::string_view mount) {
    const std::string body = "401 Unauthorized\r\n";
    return Head(version2, "401 Unauthorized") + "WWW-Authenticate: Basic realm=\"/" +
           std::string(mount) +
           "\"\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

std::string ErrorReply(bool version2, std::string_view status) {
    const std::string body = std::string(status) + "\r\n";
    return Head(version2, status) +
           "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

std::string Chunk(std::string_view data) {
    char size[20];
    std::snprintf(size, sizeof size, "%zx\r\n", data.size());
    std::string c = size;
    c.append(data);
    c += "\r\n";
    return c;
}

}  // namespace orvana::ntrip
