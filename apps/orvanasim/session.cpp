#include "apps/orvanasim/session.h"

#include <atomic>

#include "apps/orvanasim/serve.h"
#include "platform/clock.h"
#include "platform/signals.h"

namespace orvana::sim {

namespace {
std::atomic<bool> flood_switch{false};
}  // namespace

// Any thread may take a signal; all of them see its flag.
bool StopRequested(unsigned wait_ms) {
    static std::atomic<bool> stopped{false};
    if (stopped.load()) return true;
    const int sig = platform::PollTerminationSignal(wait_ms);
    if (sig == platform::kSwitchOnSignal)
        flood_switch.store(true);
    else if (sig == platform::kSwitchOffSignal)
        flood_switch.store(false);
    else if (sig != 0)
        stopped.store(true);
    return stopped.load();
}

bool FloodSwitchedOn() {
    return flood_switch.load();
}

SessionEnd RunSession(SimReceiver& receiver, Peer& peer, std::string_view first_bytes) {
    if (!first_bytes.empty()) receiver.Feed(first_bytes, platform::TickCount());
    char buffer[4096];
    for (;;) {
        if (StopRequested()) return SessionEnd::Stopped;
        if (receiver.Broken()) return SessionEnd::Broken;
        uint32_t wait = receiver.MsUntilWork(platform::TickCount(), 100);
        int ready = peer.WaitReadable(wait);
        if (ready < 0) return SessionEnd::HostLeft;
        if (ready > 0) {
            long n = peer.Read(buffer, sizeof buffer);
            if (n < 0) return SessionEnd::HostLeft;
            if (n > 0)
                receiver.Feed(std::string_view(buffer, static_cast<size_t>(n)),
                              platform::TickCount());
        }
        receiver.Tick(platform::TickCount());
    }
}

}  // namespace orvana::sim
