#pragma once
// Who may take a mountpoint's stream: the server's own users, with their passwords and access
// lists, as for a login. A mountpoint marked public is open to anyone.

#include <string>
#include <string_view>

namespace orvana {
class ConfigStore;
}

namespace orvana::ntrip {

struct MountpointConfig;

// Whether `user` with `password` may take `mount`: an enabled user (never a system user from
// the network), the password stored for it, and the mountpoint's receiver (a relay: its name)
// in the user's access list as a whole item, or access to all.
bool MayTakeMountpoint(const ConfigStore& store, const std::string& users_path,
                       const MountpointConfig& mount, std::string_view user,
                       std::string_view password);

}  // namespace orvana::ntrip
