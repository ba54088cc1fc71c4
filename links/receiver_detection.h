#pragma once
// DetectRcv: every serial port of the ports folder that no open receiver holds is probed for a
// receiver, all at once, and what is found becomes a ready-to-use receiver of the store (named
// after its port); a port without one loses the entries an earlier run made for it. Receivers
// plugged in by USB are then added under their identifier ("USB" + id).

#include <memory>
#include <string>
#include <string_view>

namespace orvana {

class Server;
class ClientSession;

// The request handler: starts a run, or, while one runs, has this client told when it ends.
unsigned DetectRcv(Server& server, std::string_view args, ClientSession& s, uint8_t handle);

// Installs the detection service. Call once, after InstallReceivers.
void InstallDetection(Server& server);

// Adds `name` to the server's receiver table (`add`) or takes it out, tells every remote client
// ("RS:name,1" or ",0", frame 0x700) and, with `write_enable`, stores EnableRcv. False when the
// name is (not) there already or the table is full.
bool RegisterReceiver(Server& server, bool add, const std::string& name, bool write_enable);

}  // namespace orvana
