#pragma once
// Requests of the session layer itself.

#include <cstdint>
#include <string_view>

namespace orvana {

class Server;
class ClientSession;

// Hands the client's line to the operator's chat (the event log when there is no console).
unsigned Chat(Server& server, std::string_view args, ClientSession& session, uint8_t handle);

}  // namespace orvana
