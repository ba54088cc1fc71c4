#include "apps/orvanacli/cli_context.h"

#include <cstdio>

#include "platform/clock.h"

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

namespace {
std::FILE* g_reports = nullptr;  // null: standard output
}  // namespace

std::FILE* Reports() {
    return g_reports != nullptr ? g_reports : stdout;
}

void ReportOnStderr() {
    g_reports = stderr;
}

int PrintReply(const ServerFrame& reply) {
    std::fwrite(reply.data.data(), 1, reply.data.size(), Reports());
    std::fputc('\n', Reports());
    std::fflush(Reports());
    return reply.Succeeded() ? kExitOk : kExitRefused;
}

int Complain(const std::string& text) {
    std::fprintf(stderr, "orvanacli: %s\n", text.c_str());
    return kExitFailure;
}

int ConnectionFailure(Cli& cli, std::string_view while_doing) {
    return Complain(std::string(while_doing) + ": " + cli.client.error());
}

bool OpenReceiver(Cli& cli, const std::string& name, bool lock, int* status) {
    auto reply = Ask(cli, "OpenRcv " + name + (lock ? " 1" : ""), kReceiverHandle);
    if (!reply) {
        *status = kExitFailure;
        return false;
    }
    if (!reply->Succeeded()) {
        *status = PrintReply(*reply);
        return false;
    }
    return true;
}

std::optional<ServerFrame> NextEvent(Cli& cli, uint32_t wait_ms, bool* closed) {
    const uint32_t start = platform::TickCount();
    for (;;) {
        const uint32_t spent = platform::TickCount() - start;
        auto frame = cli.client.NextUnsolicited(spent >= wait_ms ? 0 : wait_ms - spent);
        *closed = !frame && !cli.client.IsOpen();
        if (!frame || frame->type != frame_type::kPing) return frame;
    }
}

}  // namespace orvana::cli
