#pragma once
// The server's connection list and receiver list as the status verb reads them, cut out of
// the administration replies ("Get CList FF", "Get Rcv").

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvana::cli {

struct ConnectionRow {
    std::string since;  // "dd/mm  hh:mm:ss"
    uint64_t sent = 0;  // bytes sent to the client from this receiver
    std::string receiver, user, task, address, interface_text, messages;
    std::string Key() const { return since + '\n' + receiver + '\n' + user + '\n' + address; }
};

struct ReceiverRow {
    std::string name;
    bool enabled = false;
};

// Rows of all eight columns, each field ending in "/" (the messages, last, may hold "/").
// Rows with fewer fields are skipped.
std::vector<ConnectionRow> ParseConnectionRows(std::string_view reply);
// "NAME/e" or "NAME/d" a line.
std::vector<ReceiverRow> ParseReceiverRows(std::string_view reply);

}  // namespace orvana::cli
