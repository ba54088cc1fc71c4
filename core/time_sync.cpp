#include "core/time_sync.h"

#include <cstdlib>

#include "core/blocking_socket.h"
#include "core/event_log.h"
#include "platform/clock_set.h"
#include "platform/net.h"

namespace orvana {

TimeSync::TimeSync(std::string server, ClockSetter setter, uint32_t limit_ms, EventLog* log,
                   SyncedCheck synced)
    : setter_(std::move(setter)), synced_(std::move(synced)), limit_ms_(limit_ms), log_(log) {
    size_t colon = server.rfind(':');
    if (colon != std::string::npos) {
        long port = std::strtol(server.c_str() + colon + 1, nullptr, 10);
        if (port > 0 && port < 65536) port_ = static_cast<uint16_t>(port);
        server.resize(colon);
    }
    host_ = std::move(server);
    if (!setter_) setter_ = platform::SetLocalClock;
    if (!synced_) synced_ = platform::KernelClockSynchronised;
}

platform::LocalTime TimeSync::Merge(uint32_t seconds_since_1900, const platform::LocalTime& now) {
    uint32_t unix_seconds = seconds_since_1900 + kEpochShift;  // modulo 2^32
    platform::LocalTime server = platform::LocalFromUnix(unix_seconds);
    platform::LocalTime out = now;
    out.month = server.month;
    out.day = server.day;
    out.hour = server.hour;
    out.minute = server.minute;
    out.second = server.second;
    // Around New Year the local year is the wrong one: a clock a few seconds off across the
    // turn would otherwise be set a whole year back or forward.
    if (server.month == 1 && now.month == 12) ++out.year;
    if (server.month == 12 && now.month == 1) --out.year;
    return out;
}

TimeSync::Outcome TimeSync::Run() {
    if (host_.empty() || host_ == "off") return Outcome::Off;
    // A clock kept to milliseconds is not to be set to the second.
    if (synced_()) {
        if (log_ != nullptr) log_->WriteLine("Clock left alone: the system keeps it synchronised");
        return Outcome::KeptBySystem;
    }
    platform::Ipv4Endpoint at;
    try {
        at = CBlockingSocket::GetHostByName(host_, port_);
    } catch (const CBlockingSocketException&) {
        return Outcome::Unresolved;
    }
    CBlockingSocket socket;
    try {
        socket.Create(1);
    } catch (const CBlockingSocketException&) {
        return Outcome::Unresolved;
    }
    try {
        socket.Connect(at, limit_ms_);
    } catch (const CBlockingSocketException&) {
        return Outcome::NoConnection;
    }
    unsigned char reply[4];
    int got = 0;
    const int seconds = static_cast<int>((limit_ms_ + 999) / 1000);
    while (got < 4) {
        int n = socket.Receive(reply + got, 4 - got, seconds);
        if (n <= 0) break;
        got += n;
    }
    socket.Cleanup();
    if (got < 4) return Outcome::ShortReply;
    uint32_t since_1900 = (uint32_t{reply[0]} << 24) | (uint32_t{reply[1]} << 16) |
                          (uint32_t{reply[2]} << 8) | uint32_t{reply[3]};
    platform::LocalTime target = Merge(since_1900, platform::NowLocal());
    if (!setter_(target)) {
        if (log_ != nullptr)
            log_->WriteLine("ER:Can't set the clock to " + platform::FormatTimestamp(target) +
                            " from time server " + host_);
        return Outcome::ClockNotSet;
    }
    if (log_ != nullptr)
        log_->WriteLine("Clock set to " + platform::FormatTimestamp(target) + " from time server " +
                        host_);
    return Outcome::Set;
}

}  // namespace orvana
