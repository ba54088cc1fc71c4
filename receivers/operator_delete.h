#pragma once
// The operator's Delete of a receiver in the console's connection list: every client that holds
// it is told and loses its handle, and the receiver ends when the last one lets it go.

#include <cstdint>
#include <string>

namespace orvana {

class Server;

// Sends "RS:<name>,0" on each handle that holds `name`, closes the handle as CloseRcv does and
// logs "ER:Operator kill receiver=<name>". Waits at most `max_wait_ms` for the client and
// receiver tables; false, with nothing done, when they stayed busy.
bool DeleteReceiverForEveryone(Server& server, const std::string& name, uint32_t max_wait_ms);

}  // namespace orvana
