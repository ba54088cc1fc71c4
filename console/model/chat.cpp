#include "console/model/chat.h"

#include <memory>

#include "core/client_session.h"
#include "core/request_client.h"
#include "core/server.h"
#include "platform/clock.h"

namespace orvana::console {

std::vector<ChatPeer> ReadChatPeers(Server& server) {
    std::vector<ChatPeer> peers;
    std::lock_guard<platform::RecursiveLock> guard(server.clients().lock());
    for (unsigned i = 0; i < ClientTable::kSlots; ++i) {
        std::shared_ptr<ClientSession> s = server.clients().Get(i);
        if (s && !s->address.empty()) peers.push_back({s->address, s->user_name});
    }
    return peers;
}

ChatPeer PeerOf(Server& server, const ClientSession& session) {
    std::lock_guard<platform::RecursiveLock> guard(server.clients().lock());
    return {session.address, session.user_name};
}

std::string ChatHistoryLine(const ChatPeer& from, std::string_view text) {
    return platform::FormatTimestamp(platform::NowLocal()) + " " + from.Label() + " " +
           std::string(text) + "\r\n";
}

unsigned SendChat(Server& server, const std::string& address, std::string_view text) {
    const std::string line = "CT:" + std::string(text);
    std::vector<std::shared_ptr<ClientSession>> to;
    {
        std::lock_guard<platform::RecursiveLock> guard(server.clients().lock());
        for (unsigned i = 0; i < ClientTable::kSlots; ++i) {
            std::shared_ptr<ClientSession> s = server.clients().Get(i);
            if (s && !s->address.empty() && s->address == address) to.push_back(std::move(s));
        }
    }
    unsigned sent = 0;
    for (const auto& s : to)
        if (server.SendFrame(s, 1, frame_type::kChat, 0, line.data(), line.size())) ++sent;
    return sent;
}

}  // namespace orvana::console
