// What orvanacli reads that it did not write: a shell's lines from a file, and the server's
// connection and receiver lists that the status monitor takes apart.

#include <cstdint>
#include <string>
#include <string_view>

#include "apps/orvanacli/cli_options.h"
#include "apps/orvanacli/status_rows.h"
#include "tests/fuzz/input_lines.h"

using namespace orvana::cli;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    for (const ConnectionRow& row : ParseConnectionRows(all)) {
        // Only the open time and the messages may hold a slash.
        for (const std::string* field : {&row.receiver, &row.user, &row.task, &row.address})
            if (field->find('/') != std::string::npos || field->find('\n') != std::string::npos)
                __builtin_trap();
        if (row.messages.find('\n') != std::string::npos) __builtin_trap();
    }
    for (const ReceiverRow& row : ParseReceiverRows(all))
        if (row.name.empty() || row.name.find('\n') != std::string::npos) __builtin_trap();

    CliOptions session;
    session.port = 8000;
    session.user = "ann";
    std::string_view rest = all;
    while (!rest.empty()) {
        const std::string line(orvana::fuzz::NextLine(&rest));
        std::string error;
        const auto options = ParseShellLine(line, session, &error);
        if (options && (options->verb.empty() || options->port != 8000 || options->user != "ann"))
            __builtin_trap();
    }
    return 0;
}
