#pragma once
// Clock synchronisation with an RFC 868 time server: 4 bytes, big-endian seconds since 1900.
// The clock setter is injected so tests never change the machine's clock.

#include <cstdint>
#include <functional>
#include <string>

#include "platform/clock.h"

namespace orvana {

class EventLog;

class TimeSync {
  public:
    static constexpr uint16_t kTimePort = 37;
    // Seconds from 1900-01-01 to 1970-01-01, subtracted modulo 2^32.
    static constexpr uint32_t kEpochShift = 2085978496u;  // == 2^32 - 2208988800

    // Sets the local time; false when it could not (no privilege).
    using ClockSetter = std::function<bool(const platform::LocalTime&)>;

    // True while something else (an NTP daemon) keeps the clock right.
    using SyncedCheck = std::function<bool()>;

    enum class Outcome {
        Off,
        KeptBySystem,
        Unresolved,
        NoConnection,
        ShortReply,
        ClockNotSet,
        Set
    };

    // `server` is "host" or "host:port" (port 37 when absent); empty or "off" means off. An
    // empty `synced` is the kernel's own report.
    TimeSync(std::string server, ClockSetter setter, uint32_t limit_ms, EventLog* log,
             SyncedCheck synced = {});

    // One synchronisation; failures leave the clock unchanged.
    Outcome Run();

    // The local time to set for a reply: month, day, hour, minute and second from the server,
    // year and milliseconds from `now` (the year moved by one when the two lie across New Year).
    static platform::LocalTime Merge(uint32_t seconds_since_1900, const platform::LocalTime& now);

  private:
    std::string host_;
    uint16_t port_ = kTimePort;
    ClockSetter setter_;
    SyncedCheck synced_;
    uint32_t limit_ms_;
    EventLog* log_;
};

}  // namespace orvana
