#pragma once
// The Command request: a client's receiver command (or "@scr" script) with the guards a shared
// receiver needs.

#include <cstdint>
#include <string_view>

namespace orvana {

class Server;
class ClientSession;

unsigned Command(Server& server, std::string_view command, ClientSession& session, uint8_t handle);

// True when the command would change output or settings of the port the server talks
// through (`terminal` is the receiver's name for it).
bool IsBlockedCommand(std::string_view command, std::string_view terminal);

}  // namespace orvana
