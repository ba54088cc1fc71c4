#pragma once
// Requests on a gate receiver go on whole to the other server, which answers them itself.

#include <string>

namespace orvana {

class Receiver;
class ClientSession;

// The session's current request frame as it came, header included.
std::string CurrentRequestFrame(const ClientSession& s);

// Sends the session's current request frame, header and all, through the gate (75 s for the
// reply); the other server's reply becomes the session's. 1 when it succeeded.
unsigned PassOn(Receiver& gate, ClientSession& s);

}  // namespace orvana
