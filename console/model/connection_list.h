#pragma once
// The rows of the console's connection list as it shows them, and which of them moved data
// since the last refresh.

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "admin/connection_rows.h"

namespace orvana::console {

inline constexpr int kConnectionColumns = 8;
// Titles, and widths in quarters of the width of "RWDS".
inline constexpr const char* kColumnTitles[kConnectionColumns] = {
    "Date Start", "Send", "Receiver", "User", "Task", "Address", "Interface", "Messages"};
inline constexpr int kColumnQuarters[kConnectionColumns] = {16, 8, 9, 11, 11, 14, 13, 40};
inline constexpr int kReceiverColumn = 2;

struct ShownRow {
    uint16_t slot = 0;
    uint8_t handle = 0;
    std::string receiver;
    bool moved = false;  // its byte count changed since the refresh before
    std::string cells[kConnectionColumns];
};

// Remembers each row's byte count from one refresh to the next.
class ConnectionList {
  public:
    std::vector<ShownRow> Refresh(const std::vector<admin::ConnectionRow>& rows);

  private:
    std::map<std::pair<uint16_t, uint8_t>, uint32_t> counts_;
};

// The byte counter as the list prints it: eight wide, blank while nothing was sent.
std::string CounterText(uint32_t bytes);

}  // namespace orvana::console
