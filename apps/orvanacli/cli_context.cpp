#include "apps/orvanacli/cli_context.h"

#include "apps/orvanacli/shell_session.h"
#include "platform/clock.h"
#include "platform/signals.h"

namespace orvana::cli {

std::optional<ServerFrame> Ask(Cli& cli, std::string_view text, uint8_t handle,
                               std::string_view binary) {
    auto reply = cli.client.Call(text, handle, cli.options.timeout_ms, binary);
    if (!reply) {
        const size_t blank = text.find(' ');
        ConnectionFailure(cli, text.substr(0, blank));
    }
    return reply;
}

int ConnectionFailure(Cli& cli, std::string_view while_doing) {
    return Complain(std::string(while_doing) + ": " + cli.client.error());
}

bool UseReceiver(Cli& cli, const std::string& name, bool lock, int* status, bool print_reply) {
    if (cli.shell != nullptr) {
        if (auto held = cli.shell->HandleOf(name)) {
            cli.handle = *held;
            return true;
        }
        auto free = cli.shell->FreeHandle();
        if (!free) {
            *status = Complain("every handle of this session holds a receiver: close one first");
            return false;
        }
        cli.handle = *free;
    }
    auto reply = Ask(cli, "OpenRcv " + name + (lock ? " 1" : ""), cli.handle);
    if (!reply) {
        *status = kExitFailure;
        return false;
    }
    if (!reply->Succeeded()) {
        *status = PrintReply(*reply);
        return false;
    }
    if (cli.shell != nullptr) cli.shell->Opened(name, cli.handle);
    if (print_reply) *status = PrintReply(*reply);
    return true;
}

bool Interrupted(Cli& cli) {
    const int signal = platform::PollTerminationSignal(0);
    if (signal == 0) return false;
    // Ctrl-C at a terminal stops the verb; from a script, and any other signal, the shell too.
    if (cli.shell != nullptr && (signal != platform::kInterruptSignal || !cli.shell->interactive()))
        cli.shell->Terminate();
    return true;
}

std::optional<ServerFrame> NextEvent(Cli& cli, uint32_t wait_ms, bool* closed) {
    const uint32_t start = platform::TickCount();
    for (;;) {
        const uint32_t spent = platform::TickCount() - start;
        auto frame = cli.client.NextUnsolicited(spent >= wait_ms ? 0 : wait_ms - spent);
        *closed = !frame && !cli.client.IsOpen();
        if (!frame) return frame;
        if (frame->type == frame_type::kPing) continue;
        if (cli.shell != nullptr && frame->IsData() && cli.shell->Divert(*frame)) continue;
        return frame;
    }
}

}  // namespace orvana::cli
