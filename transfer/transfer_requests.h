#pragma once
// The file transfer requests (handlers of the request table).

#include <string_view>

namespace orvana {

class Server;
class ClientSession;

unsigned DownloadFile(Server& server, std::string_view args, ClientSession& s, uint8_t handle);
unsigned CancelDownload(Server& server, std::string_view args, ClientSession& s, uint8_t handle);
unsigned LoadFile(Server& server, std::string_view args, ClientSession& s, uint8_t handle);
unsigned LoadFirmware(Server& server, std::string_view args, ClientSession& s, uint8_t handle);

}  // namespace orvana
