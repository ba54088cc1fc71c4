#include "console/model/user_list.h"

#include "console/model/store_keys.h"
#include "core/config_keys.h"
#include "core/config_store.h"

namespace orvana::console {
namespace {

constexpr uint32_t kMostSessions = 128;

}  // namespace

NameEdit EndUserNameEdit(const ConfigStore& store, const std::string& old_name,
                         const std::string& new_name) {
    if (new_name.empty() || new_name.find('\\') != std::string::npos) return NameEdit::kBadName;
    if (new_name == old_name) return NameEdit::kDone;
    if (store.KeyExists(UserKey(new_name))) return NameEdit::kNameExists;
    const std::string key = UserKey(new_name);
    if (old_name.empty()) {
        const bool written = store.WriteTogether([&] {
            return store.WriteText(key, cfg::kAccessRcv.name, cfg::kNewUserAccess) &&
                   store.WriteText(key, cfg::kUserPassword.name, cfg::kNewUserPassword) &&
                   store.WriteNumber(key, cfg::kCountUsr.name, cfg::kNewUserCount) &&
                   store.WriteFlag(key, cfg::kEnableUser.name, cfg::kNewUserEnable) &&
                   store.WriteFlag(key, cfg::kSuperUser.name, cfg::kNewUserSuper) &&
                   store.WriteText(key, cfg::kHomeDirectory.name, cfg::kNewUserHome);
        });
        return written ? NameEdit::kDone : NameEdit::kFailed;
    }
    if (!store.CopyValues(UserKey(old_name), key)) return NameEdit::kFailed;
    return store.DeleteKey(UserKey(old_name)) ? NameEdit::kDone : NameEdit::kNotDeleted;
}

uint32_t SessionLimit(std::string_view typed) {
    uint32_t n = 0;
    for (char c : typed) {
        if (c < '0' || c > '9') break;
        n = (n * 10 + static_cast<uint32_t>(c - '0')) & 0xFFFF;
    }
    return n > kMostSessions ? kMostSessions : n;
}

}  // namespace orvana::console
