#pragma once
// LoadFile: a client copies a file, piece by piece, into its user's folder on the server
// (HOME/<user>), from where LoadFirmware sends it to a receiver.

#include <string>

#include "platform/output_file.h"

namespace orvana {

class Server;
class ClientSession;

struct LoadFileSlot {
    platform::OutputFile file;
    std::string path;
};

// HOME/<user>/ for the session's user; empty when the user name could not be a folder name.
std::string UserFolder(Server& server, const ClientSession& s);
// Closes the session's LoadFile files (the session ends).
void CloseLoadFiles(ClientSession& s);

}  // namespace orvana
