#pragma once
// What every verb of orvanacli works with: the options, the logged-in client, the shell session
// when there is one, and the helpers that open receivers and wait for frames.

#include <optional>
#include <string>
#include <string_view>

#include "apps/orvanacli/cli_options.h"
#include "apps/orvanacli/report.h"
#include "core/request_client.h"

namespace orvana::cli {

// How long a wait for frames lasts at most before it looks for Ctrl-C again.
inline constexpr uint32_t kPollMs = 200;

// Handle on which a verb run on its own opens its receiver.
inline constexpr uint8_t kReceiverHandle = 1;

class ShellSession;

struct Cli {
    const CliOptions& options;
    RequestClient& client;
    ShellSession* shell = nullptr;     // while verbs run from the shell
    uint8_t handle = kReceiverHandle;  // the receiver the verb works on (UseReceiver)
};

// Sends a request and waits for its reply; a failure is reported on stderr.
std::optional<ServerFrame> Ask(Cli& cli, std::string_view text, uint8_t handle = 0,
                               std::string_view binary = {});
// The client's error as a complaint.
int ConnectionFailure(Cli& cli, std::string_view while_doing);

// Makes receiver `name` the one the verb works on (cli.handle). On its own a verb opens it; in
// the shell a receiver opened before keeps its handle and a new one takes a free handle. False
// when refused (the reply is printed, `status` set) or when the connection failed. The reply
// of a new opening is printed too when `print_reply`.
bool UseReceiver(Cli& cli, const std::string& name, bool lock, int* status,
                 bool print_reply = false);

// A signal that should end what the verb is doing: Ctrl-C, or SIGTERM, which in the shell ends
// the shell as well.
bool Interrupted(Cli& cli);

// Waits for the next frame no request is waiting for, up to `wait_ms`; pings are skipped, and
// in the shell data that goes to a file is written there. nullopt on time-out (`closed` false)
// or when the connection ended (`closed` true).
std::optional<ServerFrame> NextEvent(Cli& cli, uint32_t wait_ms, bool* closed);

}  // namespace orvana::cli
