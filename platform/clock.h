#pragma once
// Time as the server sees it: a 32-bit millisecond tick count, local calendar time, and the
// fixed-length time stamp "dd.mm.yyyy hh:mm:ss" that log lines and statistics records carry.

#include <cstdint>
#include <ctime>
#include <string>

namespace orvana::platform {

// Milliseconds of a monotonic clock, wrapping at 2^32 like the system tick count.
uint32_t TickCount();

// Milliseconds of the same clock that never wrap, for spans longer than 49 days.
uint64_t MonotonicMs();

// Sleeps for `ms` milliseconds.
void SleepMs(uint32_t ms);

struct LocalTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

LocalTime NowLocal();
// Seconds since 1970 by the calendar clock.
std::time_t UnixTime();
LocalTime ToLocal(std::time_t t);

// "dd.mm.yyyy hh:mm:ss", always 19 characters.
std::string FormatTimestamp(const LocalTime& t);
inline std::string TimestampNow() {
    return FormatTimestamp(NowLocal());
}

}  // namespace orvana::platform
