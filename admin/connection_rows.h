#pragma once
// The open connections as the operator sees them: one row per handle a client holds on a
// receiver that still exists, in slot order, then handle order. The remote `Get` list and the
// console's connection list read the same rows.

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace orvana {
class Server;
}

namespace orvana::admin {

struct ConnectionRow {
    std::time_t open_time = 0;
    uint32_t bytes_sent = 0;
    std::string receiver;
    std::string user;
    std::string task;
    std::string address;
    std::string interface_text;
    std::string messages;      // empty while the handle has no messages attached
    std::string last_request;  // the client's most recent request, passwords blanked
    uint16_t slot = 0;         // the client's slot and handle: what identifies the row
    uint8_t handle = 0;
    std::string open_time_text;
};

// Takes the client and receiver tables together, waiting at most `max_wait_ms` (0: without
// limit); nullopt when they stayed busy.
std::optional<std::vector<ConnectionRow>> ReadConnectionRows(Server& server, uint32_t max_wait_ms);

}  // namespace orvana::admin
