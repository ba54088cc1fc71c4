#pragma once
// The Ping request. The keep-alive cycle itself runs on the server's keep-alive thread
// (Server::KeepAliveThread); one cycle is exposed for it and for tests.

#include <cstdint>
#include <string_view>

namespace orvana {

class Server;
class ClientSession;

// Without an argument a no-op answered with code 1. With a receiver name the echo test of a TCP
// receiver, which the TCP link provides through the ping_receiver hook of the server.
unsigned Ping(Server& server, std::string_view args, ClientSession& session, uint8_t handle);

// Pings every network client once and drops those that never logged in.
void RunKeepAliveCycle(Server& server);

}  // namespace orvana
