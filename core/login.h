#pragma once
// Login and access rights: the OpenUsr, CloseUsr and GetRcvList requests and the access list.

#include <cstdint>
#include <string_view>

namespace orvana {

class Server;
class ClientSession;

// The built-in system users; their password is in the program, so their logins are accepted
// only from a loopback address or from a client inside the server.
inline constexpr const char* kDemonUser = "Demon";
inline constexpr const char* kScriptUser = "Script";
inline constexpr const char* kNtripUser = "Ntrip";  // the NTRIP caster's mountpoints
inline constexpr const char* kSystemPassword = "Zelmar";
inline constexpr uint32_t kSystemUserCount = 33;

unsigned OpenUsr(Server& server, std::string_view args, ClientSession& session, uint8_t handle);
unsigned CloseUsr(Server& server, std::string_view args, ClientSession& session, uint8_t handle);
unsigned GetRcvList(Server& server, std::string_view args, ClientSession& session, uint8_t handle);

// Rebuilds the session's access list from its user's AccessRcv and grows its handle table.
void BuildAccessList(Server& server, ClientSession& session);

// Writes a system user's key (Demon for the information poll, Script for Run, Ntrip for the
// caster).
void WriteSystemUser(Server& server, std::string_view name);
bool IsSystemUser(std::string_view user);

}  // namespace orvana
