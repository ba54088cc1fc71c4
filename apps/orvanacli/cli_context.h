#pragma once
// What every verb of orvanacli works with: the options, the logged-in client, and the helpers
// that print replies and turn them into the exit status.

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "apps/orvanacli/cli_options.h"
#include "core/request_client.h"

namespace orvana::cli {

inline constexpr int kExitOk = 0;       // the reply began with "RE"
inline constexpr int kExitRefused = 1;  // it did not
inline constexpr int kExitFailure = 2;  // bad arguments, connection lost, no reply

// Handle on which the verbs that need a receiver open it.
inline constexpr uint8_t kReceiverHandle = 1;

struct Cli {
    const CliOptions& options;
    RequestClient& client;
};

// Sends a request and waits for its reply; a failure is reported on stderr.
std::optional<ServerFrame> Ask(Cli& cli, std::string_view text, uint8_t handle = 0,
                               std::string_view binary = {});
// Where replies, notices and progress go: standard output, or standard error while the data
// itself goes to standard output ("--out -").
std::FILE* Reports();
void ReportOnStderr();
// Prints the reply as the server sent it; kExitOk when it began with "RE".
int PrintReply(const ServerFrame& reply);
// One line "orvanacli: TEXT" on stderr; kExitFailure.
int Complain(const std::string& text);
// The client's error as a complaint.
int ConnectionFailure(Cli& cli, std::string_view while_doing);

// Opens `name` on kReceiverHandle. False when refused (the reply is printed, `status` set) or
// when the connection failed.
bool OpenReceiver(Cli& cli, const std::string& name, bool lock, int* status);

// Waits for the next frame no request is waiting for, up to `wait_ms`; pings are skipped.
// nullopt on time-out (`closed` false) or when the connection ended (`closed` true).
std::optional<ServerFrame> NextEvent(Cli& cli, uint32_t wait_ms, bool* closed);

}  // namespace orvana::cli
