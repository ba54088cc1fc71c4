#include "console/model/status_text.h"

#include <cinttypes>
#include <cstdio>

namespace orvana::console {

std::string StatusText(const StatusFigures& f) {
    const uint64_t s = f.online_ms / 1000;
    char text[160];
    std::snprintf(text, sizeof text,
                  "    Time online  %" PRIu64
                  "d%02uh%02um%02us     Receivers: %u     "
                  "Connections: %u/%u",
                  s / 86400, static_cast<unsigned>(s / 3600 % 24),
                  static_cast<unsigned>(s / 60 % 60), static_cast<unsigned>(s % 60), f.receivers,
                  f.connections, f.client_slots);
    return "Server started " + f.started + text;
}

}  // namespace orvana::console
