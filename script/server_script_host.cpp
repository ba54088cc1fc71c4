#include "script/server_script_host.h"

#include "core/client_session.h"
#include "core/config_keys.h"
#include "core/request_table.h"
#include "core/server.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "script/script_chars.h"

namespace orvana::script {
namespace {

constexpr std::string_view kOpenRcv = "OpenRcv";
constexpr std::string_view kCloseRcv = "CloseRcv";

const RequestEntry* FindByName(std::string_view name) {
    for (const RequestEntry& e : kRequestTable)
        if (name == e.name) return &e;
    return nullptr;
}

}  // namespace

ServerScriptHost::ServerScriptHost(Server& server, ClientSession& requester, ClientSession& client)
    : server_(server), requester_(requester), client_(client) {}

FileRead ServerScriptHost::ReadScriptFile(std::string_view name, size_t limit, std::string* text) {
    // Read each time: the operator may move the folder while the server runs.
    const std::string folder = server_.store().ReadText(cfg::kActiveKey, cfg::kScripts);
    switch (platform::ReadRegularFile(folder + std::string(name), limit, text)) {
        case platform::BoundedRead::Ok:
            return FileRead::Ok;
        case platform::BoundedRead::TooBig:
            return FileRead::TooBig;
        case platform::BoundedRead::Missing:
            break;
    }
    return FileRead::Missing;
}

std::string ServerScriptHost::ReadConfigText(std::string_view key, std::string_view name) {
    return server_.store().ReadText(key, name, "");
}

std::string ServerScriptHost::Request(std::string_view line) {
    client_.reply = "ER:Unknown type request";
    const RequestEntry* entry = nullptr;
    for (size_t i = 0; i < kScriptRequests; ++i) {
        const std::string_view name = kRequestTable[i].name;
        if (line.substr(0, name.size()) == name) {
            entry = &kRequestTable[i];
            break;
        }
    }
    if (entry == nullptr) return client_.reply;
    if (entry->flags & request_flag::kRefusedInScript) {
        client_.reply = "ER:Invalid type request";
        return client_.reply;
    }
    const std::string_view name = entry->name;
    std::string_view args = line.substr(name.size());
    while (!args.empty() && IsBlank(args.front())) args.remove_prefix(1);
    if ((entry->flags & request_flag::kNeedsReceiver) &&
        (handle_ == 0 || handle_ >= client_.handle_table.size() ||
         !client_.handle_table[handle_])) {
        client_.reply = "ER:Receiver reply timeout!";
        return client_.reply;
    }
    client_.reply = "RE:OK.";
    // Handle 0 cannot hold a receiver; a script without one opens on its client's first handle.
    const uint8_t handle = name == kOpenRcv && handle_ == 0 ? 1 : handle_;
    RunRequest(*entry, server_, args, client_, handle);
    if (name == kOpenRcv && client_.reply == "RE:OK.") handle_ = handle;
    if (name == kCloseRcv) handle_ = 0;
    return client_.reply;
}

void ServerScriptHost::LogStamped(std::string_view text) {
    server_.log().WriteLine(text);
}

void ServerScriptHost::LogPlain(std::string_view text) {
    server_.log().WriteRaw(text);
}

bool ServerScriptHost::Sleep(uint32_t ms) {
    // In slices, so a client that left or a server that stops does not wait for the script.
    const uint32_t start = platform::TickCount();
    for (;;) {
        if (Interrupted()) return false;
        const uint32_t spent = platform::TickCount() - start;
        if (spent >= ms) return true;
        platform::SleepMs(std::min(kSleepSliceMs, ms - spent));
    }
}

bool ServerScriptHost::Interrupted() {
    return requester_.lost || !requester_.IsOpen();
}

void ServerScriptHost::CloseLeftOpen() {
    if (handle_ == 0) return;
    const RequestEntry* close = FindByName(kCloseRcv);
    client_.reply = "RE:OK.";
    close->handler(server_, "", client_, handle_);
    handle_ = 0;
}

}  // namespace orvana::script
