#pragma once
// The main window's status bar: since when the server runs, for how long, and how busy it is.

#include <cstdint>
#include <string>

namespace orvana::console {

struct StatusFigures {
    std::string started;  // the start date and time as the desktop writes them
    uint64_t online_ms = 0;
    unsigned receivers = 0;    // open now
    unsigned connections = 0;  // clients connected
    unsigned client_slots = 0;
};

// "Server started <started>    Time online  1d02h03m04s     Receivers: 2     Connections: 3/128"
std::string StatusText(const StatusFigures& f);

}  // namespace orvana::console
