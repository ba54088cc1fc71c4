#pragma once
// The Run request: runs a script of the scripts folder on the requesting client's thread and
// answers with what the script wrote.

#include <cstdint>
#include <string_view>

namespace orvana {

class Server;
class ClientSession;

unsigned Run(Server& server, std::string_view args, ClientSession& session, uint8_t handle);

}  // namespace orvana
