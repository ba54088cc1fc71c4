#include "links/tcp_ping.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "core/client_session.h"
#include "core/config_keys.h"
#include "core/server.h"
#include "core/text.h"
#include "links/link.h"
#include "links/tcp_link.h"
#include "platform/clock.h"
#include "platform/icmp.h"
#include "platform/net.h"

namespace orvana {
namespace {

constexpr uint32_t kEchoWaitMs = 1000;
constexpr uint8_t kEchoRequest = 8;
constexpr uint8_t kEchoReply = 0;

// Our reply: an echo reply with our identifier that carries the tick we sent.
bool IsOurReply(const uint8_t* icmp, size_t size, uint32_t tick) {
    if (size < kEchoSize || icmp[0] != kEchoReply) return false;
    if (((icmp[4] << 8) | icmp[5]) != kEchoIdentifier) return false;
    uint32_t echoed = 0;
    std::memcpy(&echoed, icmp + 8, sizeof echoed);
    return echoed == tick;
}

}  // namespace

uint16_t InternetChecksum(const uint8_t* data, size_t size) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < size; i += 2)
        sum += static_cast<uint32_t>((data[i] << 8) | data[i + 1]);
    if (size % 2 != 0) sum += static_cast<uint32_t>(data[size - 1] << 8);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

bool BuildEchoRequest(uint32_t tick, uint8_t (&out)[kEchoSize]) {
    std::memset(out, 0, sizeof out);
    out[0] = kEchoRequest;
    out[4] = static_cast<uint8_t>(kEchoIdentifier >> 8);
    out[5] = static_cast<uint8_t>(kEchoIdentifier & 0xff);
    // The tick is the sender's own datum, echoed back as it went out.
    std::memcpy(out + 8, &tick, sizeof tick);
    const uint16_t sum = InternetChecksum(out, sizeof out);
    out[2] = static_cast<uint8_t>(sum >> 8);
    out[3] = static_cast<uint8_t>(sum & 0xff);
    return sum != 0;
}

unsigned PingReceiver(Server& server, ClientSession& session, std::string_view args) {
    const std::string name(TrimBlanks(args));
    bool allowed = false;
    {
        std::lock_guard<std::mutex> guard(server.access_list_lock());
        allowed = !name.empty() && ListHasItem(session.access_list, name);
    }
    // Read without creating: a name a client makes up must not turn into a receiver key.
    const std::string interface_text =
        allowed ? server.store().ReadText(server.receivers_path() + name, cfg::kInterface.name, "")
                : std::string();
    LinkKind kind{};
    std::string address;
    if (!allowed || !ParseInterface(interface_text, &kind, &address)) {
        session.reply = "ER:Can't find receiver.";
        return 0;
    }
    if (kind != LinkKind::kTcp) {
        session.reply = "ER:Type";
        return 0;
    }
    session.reply = "ER:Don't ping";
    uint32_t host = 0;
    if (!platform::ResolveIpv4(TcpHost(address), &host)) return 0;
    platform::IcmpSocket icmp;
    if (!icmp.Open(platform::IcmpProtocolNumber(), kEchoWaitMs)) return 0;

    const uint32_t sent_tick = platform::TickCount();
    uint8_t request[kEchoSize];
    if (!BuildEchoRequest(sent_tick, request)) return 0;
    if (icmp.SendTo(host, request, sizeof request) < static_cast<long>(sizeof request)) return 0;

    // A raw socket sees every ICMP datagram of the host (on loopback the request itself comes
    // first): the others are passed over until ours comes or the time is up.
    uint8_t reply[4096];
    for (;;) {
        const uint32_t spent = platform::TickCount() - sent_tick;
        if (spent >= kEchoWaitMs) return 0;
        const long n = icmp.Receive(reply, sizeof reply, kEchoWaitMs - spent);
        if (n < 0) return 0;
        if (IsOurReply(reply, static_cast<size_t>(n), sent_tick)) break;
    }
    char text[32];
    std::snprintf(text, sizeof text, "RE:%u", platform::TickCount() - sent_tick);
    session.reply = text;
    return 1;
}

}  // namespace orvana
