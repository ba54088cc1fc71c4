#pragma once
// Setting the machine's local time (needs privilege). Only the product calls this; tests inject
// their own setter.

#include "platform/clock.h"

namespace orvana::platform {

// False when the time is invalid or the system refused (no privilege).
bool SetLocalClock(const LocalTime& t);

// Whether the kernel reports the clock as synchronised (an NTP daemon keeps it).
bool KernelClockSynchronised();

// Seconds since 1970 to local broken-down time.
LocalTime LocalFromUnix(long long seconds);

}  // namespace orvana::platform
