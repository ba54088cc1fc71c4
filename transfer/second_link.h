#pragma once
// A TCP receiver's transfer runs on a connection of its own, so that commands keep working on
// the one its clients use.

#include <memory>
#include <string>

namespace orvana {

class Server;
class Receiver;

// Connects a second link to the receiver `primary` (a TCP receiver named `name`) and checks it
// with the "%Loop%" echo. On failure nullptr, with `link_error` holding the link's own error
// text (empty when the connection stood but the echo failed).
std::unique_ptr<Receiver> OpenSecondLink(Server& server, const Receiver& primary,
                                         const std::string& name, std::string* link_error);

}  // namespace orvana
