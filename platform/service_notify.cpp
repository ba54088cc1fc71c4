#include "platform/service_notify.h"

#include <systemd/sd-daemon.h>

namespace orvana::platform {

void NotifyReady(const std::string& status) {
    sd_notifyf(0, "READY=1\nSTATUS=%s", status.c_str());
}

void NotifyStopping() {
    sd_notify(0, "STOPPING=1\nSTATUS=Stopping");
}

void NotifyStatus(const std::string& status) {
    sd_notifyf(0, "STATUS=%s", status.c_str());
}

uint32_t WatchdogIntervalMs() {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0) return 0;
    return static_cast<uint32_t>(usec / 1000 > UINT32_MAX ? UINT32_MAX : usec / 1000);
}

void NotifyAlive() {
    sd_notify(0, "WATCHDOG=1");
}

}  // namespace orvana::platform
