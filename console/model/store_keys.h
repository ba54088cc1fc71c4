#pragma once
// The keys of one user and one receiver, as the console's lists and dialogs name them.

#include <string>

#include "core/config_keys.h"

namespace orvana::console {

inline std::string UserKey(const std::string& name) {
    return std::string(cfg::kUsersKey) + name;
}

inline std::string ReceiverKey(const std::string& name) {
    return std::string(cfg::kReceiversKey) + name;
}

}  // namespace orvana::console
