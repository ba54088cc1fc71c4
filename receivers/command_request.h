#pragma once
// The Command request: a client's receiver command (or "@scr" script) with the guards a shared
// receiver needs.

#include <cstdint>
#include <string_view>

namespace orvana {

class Server;
class ClientSession;

unsigned Command(Server& server, std::string_view command, ClientSession& session, uint8_t handle);

}  // namespace orvana
