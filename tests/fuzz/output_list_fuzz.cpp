// The message table from a receiver's list replies, then clients' Attach and Detach requests on
// three subscriptions, in the order the input gives: the output list the receiver is sent must
// stay within its size and name only messages the table knows.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "receivers/message_table.h"
#include "receivers/output_setup.h"
#include "tests/fuzz/input_lines.h"

using namespace orvana;

using fuzz::NextLine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    // Four lines: the receiver's replies to the list commands of groups 0 to 3.
    std::string replies[kMessageGroups];
    for (auto& reply : replies) reply = std::string(NextLine(&rest));
    MessageTable table;
    int group = 0;
    table.Build([&](const char*, std::string* reply) {
        *reply = replies[group++ % kMessageGroups];
        return true;
    });
    // Names with the list's own punctuation make items this check cannot cut apart.
    bool plain_names = true;
    for (int i = 0; i < table.End(); ++i)
        plain_names = plain_names && table.Entry(i).name.find_first_of(":{},") == std::string::npos;
    OutputSetup setup(table);
    MessageSubscription subscriptions[3];
    // Then requests: a subscription digit, 'A' or 'D', and the request's text.
    while (!rest.empty()) {
        const std::string_view line = NextLine(&rest);
        if (line.size() < 2) continue;
        MessageSubscription* a = &subscriptions[static_cast<uint8_t>(line[0]) % 3];
        const std::string_view request = line.substr(2);
        if (line[1] == 'A') {
            if (!setup.AddMessages(a, request) && setup.ErrorText().empty()) std::abort();
        } else {
            setup.RemoveGroup(a,
                              request.empty() ? kGroupAll : static_cast<uint8_t>(request[0]) % 5);
        }
        // Every item the list names is in the table.
        const std::string& list = setup.OutputList();
        for (size_t at = 0; plain_names && at < list.size();) {
            const size_t colon = list.find(":{", at);
            if (colon == std::string::npos) std::abort();
            const std::string name(list.substr(at, colon - at));
            bool known = false;
            for (int i = 0; i < table.End() && !known; ++i)
                known =
                    std::string(GroupPrefix(table.Entry(i).group)) + table.Entry(i).name == name;
            if (!known) std::abort();
            const size_t close = list.find('}', colon);
            if (close == std::string::npos) std::abort();
            at = close + 2;
        }
    }
    return 0;
}
