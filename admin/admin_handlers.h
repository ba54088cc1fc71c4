#pragma once
// The Get and Set entries of the request table.

#include <cstdint>
#include <string_view>

namespace orvana {

class Server;
class ClientSession;

unsigned Get(Server& server, std::string_view args, ClientSession& session, uint8_t handle);
unsigned Set(Server& server, std::string_view args, ClientSession& session, uint8_t handle);

}  // namespace orvana
