#include "platform/clock_set.h"

#include <sys/timex.h>
#include <time.h>

namespace orvana::platform {

bool SetLocalClock(const LocalTime& t) {
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    std::time_t s = mktime(&tm);
    if (s == static_cast<std::time_t>(-1)) return false;
    timespec ts{s, static_cast<long>(t.millisecond) * 1000000L};
    return clock_settime(CLOCK_REALTIME, &ts) == 0;
}

bool KernelClockSynchronised() {
    timex tx{};
    const int state = ::adjtimex(&tx);
    return state != -1 && state != TIME_ERROR && (tx.status & STA_UNSYNC) == 0;
}

LocalTime LocalFromUnix(long long seconds) {
    return ToLocal(static_cast<std::time_t>(seconds));
}

}  // namespace orvana::platform
