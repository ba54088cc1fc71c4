#include "ntrip/rover_auth.h"

#include "core/config_keys.h"
#include "core/config_store.h"
#include "core/login.h"
#include "ntrip/caster_config.h"

namespace orvana::ntrip {

bool MayTakeMountpoint(const ConfigStore& store, const std::string& users_path,
                       const MountpointConfig& mount, std::string_view user,
                       std::string_view password) {
    if (mount.public_access) return true;
    // A name with a backslash would reach another key of the store.
    if (user.empty() || user.find('\\') != std::string_view::npos || IsSystemUser(user))
        return false;
    const std::string key = users_path + std::string(user);
    if (!store.KeyExists(key) || !store.ReadFlag(key, cfg::kEnableUser)) return false;
    // As at login: a user without a password takes any.
    const std::string stored = store.ReadText(key, cfg::kUserPassword);
    if (!stored.empty() && stored != password) return false;
    const std::string access = store.ReadText(key, cfg::kAccessRcv);
    if (access == cfg::kAccessAll) return true;
    const std::string& wanted = mount.relay ? mount.name : mount.receiver;
    std::string_view list = access;
    for (size_t comma; (comma = list.find(',')) != std::string_view::npos;) {
        if (list.substr(0, comma) == wanted) return true;
        list.remove_prefix(comma + 1);
    }
    return false;
}

}  // namespace orvana::ntrip
