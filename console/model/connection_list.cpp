#include "console/model/connection_list.h"

#include <cstdio>

namespace orvana::console {

std::string CounterText(uint32_t bytes) {
    // Unsigned: a counter past 2 GB must not turn negative.
    char text[16];
    std::snprintf(text, sizeof text, "%8.0u", bytes);
    return text;
}

std::vector<ShownRow> ConnectionList::Refresh(const std::vector<admin::ConnectionRow>& rows) {
    std::map<std::pair<uint16_t, uint8_t>, uint32_t> counts;
    std::vector<ShownRow> shown;
    shown.reserve(rows.size());
    for (const admin::ConnectionRow& r : rows) {
        ShownRow s;
        s.slot = r.slot;
        s.handle = r.handle;
        s.receiver = r.receiver;
        const auto key = std::make_pair(r.slot, r.handle);
        const auto before = counts_.find(key);
        s.moved = before == counts_.end() ? r.bytes_sent != 0 : before->second != r.bytes_sent;
        counts[key] = r.bytes_sent;
        s.cells[0] = r.open_time_text;
        s.cells[1] = CounterText(r.bytes_sent);
        s.cells[2] = r.receiver;
        s.cells[3] = r.user;
        s.cells[4] = r.task;
        s.cells[5] = r.address;
        s.cells[6] = r.interface_text;
        s.cells[7] = r.messages.empty() ? r.last_request : r.messages;
        shown.push_back(std::move(s));
    }
    counts_ = std::move(counts);
    return shown;
}

}  // namespace orvana::console
