#include "receivers/messages_column.h"

#include <cstdio>

namespace orvana {

std::string MessagesColumn(const MessageTable& table, const MessageSubscription& s) {
    std::string out;
    int previous_group = -1;
    for (int i = 0; i < kMessageTableSize; ++i) {
        if (!s.mask.test(static_cast<size_t>(i))) continue;
        const MessageEntry& e = table.Entry(i);
        if (e.group != previous_group) out += GroupPrefix(e.group);
        previous_group = e.group;
        out += e.name;
        const unsigned tenths = s.periods[static_cast<size_t>(i)];
        if (tenths != 0) {
            char period[16];
            if (tenths < 11)
                std::snprintf(period, sizeof period, ":%2.1f", tenths / 10.0);
            else
                std::snprintf(period, sizeof period, ":%u", tenths / 10);
            out += period;
        }
        out += ',';
    }
    return out;
}

}  // namespace orvana
