#pragma once
// The operator's chat with the clients: who can be written to, the history's lines, and the
// operator's line sent to every connection from one address.

#include <string>
#include <string_view>
#include <vector>

namespace orvana {
class ClientSession;
class Server;
}  // namespace orvana

namespace orvana::console {

struct ChatPeer {
    std::string address;  // the client's address text
    std::string user;
    std::string Label() const { return address + "/" + user; }
};

// Every connected client with an address text, in slot order.
std::vector<ChatPeer> ReadChatPeers(Server& server);
ChatPeer PeerOf(Server& server, const ClientSession& session);

// "time address/user text\r\n" as the history shows a client's line.
std::string ChatHistoryLine(const ChatPeer& from, std::string_view text);

// Sends "CT:" + text (frame 0x5FE, handle 1, code 0) to every client at `address`; the count.
unsigned SendChat(Server& server, const std::string& address, std::string_view text);

}  // namespace orvana::console
