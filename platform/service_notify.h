#pragma once
// Telling the service manager (systemd, Type=notify) how the server is: ready once it listens,
// stopping when its orderly shutdown begins, and alive, at the watchdog interval it was given.
// Without a manager (no NOTIFY_SOCKET) every call does nothing.

#include <cstdint>
#include <string>

namespace orvana::platform {

void NotifyReady(const std::string& status);
void NotifyStopping();
void NotifyStatus(const std::string& status);
// The interval the manager expects "alive" at, 0 when it watches nothing.
uint32_t WatchdogIntervalMs();
void NotifyAlive();

}  // namespace orvana::platform
