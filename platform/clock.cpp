#include "platform/clock.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/env.h"

namespace orvana::platform {

uint32_t TickCount() {
    return static_cast<uint32_t>(CurrentEnv().MonotonicMs());
}

uint64_t MonotonicMs() {
    return CurrentEnv().MonotonicMs();
}

void SleepMs(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

LocalTime ToLocal(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    LocalTime lt;
    lt.year = tm.tm_year + 1900;
    lt.month = tm.tm_mon + 1;
    lt.day = tm.tm_mday;
    lt.hour = tm.tm_hour;
    lt.minute = tm.tm_min;
    lt.second = tm.tm_sec;
    return lt;
}

std::time_t UnixTime() {
    return std::chrono::system_clock::to_time_t(CurrentEnv().WallClock());
}

LocalTime NowLocal() {
    using namespace std::chrono;
    auto now = CurrentEnv().WallClock();
    LocalTime lt = ToLocal(system_clock::to_time_t(now));
    lt.millisecond =
        static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    return lt;
}

std::string FormatTimestamp(const LocalTime& t) {
    char buf[32];
    // Fields are clamped so that the text keeps its fixed length whatever the input.
    auto clamp = [](int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); };
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d:%02d", clamp(t.day, 0, 99),
                  clamp(t.month, 0, 99), clamp(t.year, 0, 9999), clamp(t.hour, 0, 99),
                  clamp(t.minute, 0, 99), clamp(t.second, 0, 99));
    return buf;
}

}  // namespace orvana::platform
