#include "console/model/receiver_list.h"

#include <algorithm>
#include <cstdio>

#include "admin/connection_rows.h"
#include "console/model/store_keys.h"
#include "core/config_keys.h"
#include "core/config_store.h"
#include "core/server.h"
#include "links/receiver_detection.h"
#include "receivers/receiver.h"
#include "receivers/receiver_table.h"

namespace orvana::console {
namespace {

constexpr uint32_t kInUseWaitMs = 5000;
constexpr const char* kNewReceiverInterface = "COM 1";
constexpr uint32_t kNewReceiverRtsCts = 1;
constexpr const char* kNewReceiverSpeed = "115200";

// An access list's items: "a,b," holds a and b.
std::vector<std::string> AccessItems(const std::string& list) {
    std::vector<std::string> items;
    size_t start = 0;
    while (start < list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        if (comma > start) items.push_back(list.substr(start, comma - start));
        start = comma + 1;
    }
    return items;
}

std::string JoinAccess(const std::vector<std::string>& items) {
    std::string list;
    for (const std::string& item : items) list += item + ",";
    return list;
}

std::vector<std::string> EnabledReceivers(const ConfigStore& store) {
    std::vector<std::string> names;
    for (const ReceiverRow& row : ReadReceiverRows(store))
        if (row.enabled) names.push_back(row.name);
    return names;
}

// Rewrites every user's list, item by item: renaming "sim" must not touch "sim2".
void EditEveryAccessList(const ConfigStore& store, const std::string& from, const std::string& to) {
    for (const std::string& user : store.SubKeys(cfg::kUsersKey)) {
        const std::string key = UserKey(user);
        const std::string list = store.ReadText(key, cfg::kAccessRcv.name, "");
        std::vector<std::string> items = AccessItems(list);
        bool changed = false;
        for (auto it = items.begin(); it != items.end();) {
            if (*it != from) {
                ++it;
            } else if (to.empty()) {
                it = items.erase(it);
                changed = true;
            } else {
                *it++ = to;
                changed = true;
            }
        }
        if (changed) store.WriteText(key, cfg::kAccessRcv.name, JoinAccess(items));
    }
}

}  // namespace

ReceiverRow ReadReceiverRow(const ConfigStore& store, const std::string& name) {
    ReceiverRow row;
    row.name = name;
    row.enabled = store.ReadFlag(ReceiverKey(name), cfg::kEnableRcv);
    const std::string interface = store.ReadText(ReceiverKey(name), cfg::kInterface.name, "");
    row.interface_column = interface.substr(0, interface.find(':'));
    return row;
}

std::vector<ReceiverRow> ReadReceiverRows(const ConfigStore& store) {
    std::vector<ReceiverRow> rows;
    for (const std::string& name : store.SubKeys(cfg::kReceiversKey))
        rows.push_back(ReadReceiverRow(store, name));
    return rows;
}

unsigned CountEnabledReceivers(const ConfigStore& store) {
    return static_cast<unsigned>(EnabledReceivers(store).size());
}

std::optional<std::vector<std::pair<std::string, std::string>>> OpenReceiverErrors(Server& server) {
    std::unique_lock<platform::RecursiveLock> lock(server.receiver_table_lock(), std::try_to_lock);
    if (!lock.owns_lock()) return std::nullopt;
    std::vector<std::pair<std::string, std::string>> errors;
    ReceiverTable& table = Receivers(server);
    for (unsigned n = 1; n <= ReceiverTable::kSlots; ++n) {
        const Receiver* r = table.slot(n);
        if (r == nullptr) continue;
        char text[16];
        std::snprintf(text, sizeof text, "%03u", static_cast<unsigned>(r->error_count.load()));
        errors.emplace_back(r->receiver_name, text);
    }
    return errors;
}

NameEdit EndReceiverNameEdit(Server& server, const std::string& old_name,
                             const std::string& new_name) {
    const ConfigStore& store = server.store();
    if (new_name.empty() || new_name.find('\\') != std::string::npos) return NameEdit::kBadName;
    if (new_name == old_name) return NameEdit::kDone;
    const std::string key = ReceiverKey(new_name);
    if (store.KeyExists(key)) return NameEdit::kNameExists;
    if (old_name.empty()) {
        const std::string interface_key = std::string(cfg::kInterfaceKey) + kNewReceiverInterface;
        const bool written = store.WriteTogether([&] {
            return store.WriteFlag(key, cfg::kEnableRcv.name, false) &&
                   store.WriteText(key, cfg::kInterface.name, kNewReceiverInterface) &&
                   store.WriteNumber(interface_key, cfg::kRTSCTS.name, kNewReceiverRtsCts) &&
                   store.WriteText(interface_key, cfg::kSpeed.name, kNewReceiverSpeed);
        });
        return written ? NameEdit::kDone : NameEdit::kFailed;
    }
    if (!store.CopyValues(ReceiverKey(old_name), key)) return NameEdit::kFailed;
    if (!store.DeleteKey(ReceiverKey(old_name))) return NameEdit::kNotDeleted;
    EditEveryAccessList(store, old_name, new_name);
    if (store.ReadFlag(key, cfg::kEnableRcv)) {
        RegisterReceiver(server, false, old_name, false);
        RegisterReceiver(server, true, new_name, true);
    }
    return NameEdit::kDone;
}

void SetReceiverEnabled(Server& server, const std::string& name, bool enabled) {
    RegisterReceiver(server, enabled, name, true);
}

RemoveResult RemoveReceiver(Server& server, const std::string& name) {
    // An empty name would make the key the Receivers key itself.
    if (name.empty() || name.find('\\') != std::string::npos) return RemoveResult::kNoReceiver;
    // Tables that stay busy count as in use: removing under a client is the worse mistake.
    auto rows = admin::ReadConnectionRows(server, kInUseWaitMs);
    if (!rows) return RemoveResult::kInUse;
    for (const admin::ConnectionRow& row : *rows)
        if (row.receiver == name) return RemoveResult::kInUse;
    const ConfigStore& store = server.store();
    const std::string interface = store.ReadText(ReceiverKey(name), cfg::kInterface.name, "");
    store.DeleteKey(ReceiverKey(name));
    if (!interface.empty()) store.DeleteKey(std::string(cfg::kInterfaceKey) + interface);
    EditEveryAccessList(store, name, "");
    RegisterReceiver(server, false, name, false);
    return RemoveResult::kRemoved;
}

AccessEdit AddReceiverAccess(const ConfigStore& store, const std::string& user,
                             const std::string& receiver) {
    const std::string key = UserKey(user);
    const std::string list = store.ReadText(key, cfg::kAccessRcv.name, "");
    if (list == cfg::kAccessAll) return AccessEdit::kDone;
    std::vector<std::string> items = AccessItems(list);
    if (std::find(items.begin(), items.end(), receiver) != items.end())
        return AccessEdit::kAlreadyThere;
    items.push_back(receiver);
    const std::vector<std::string> enabled = EnabledReceivers(store);
    const bool names_all = std::all_of(enabled.begin(), enabled.end(), [&](const std::string& n) {
        return std::find(items.begin(), items.end(), n) != items.end();
    });
    store.WriteText(key, cfg::kAccessRcv.name, names_all ? cfg::kAccessAll : JoinAccess(items));
    return AccessEdit::kDone;
}

AccessEdit RemoveReceiverAccess(const ConfigStore& store, const std::string& user,
                                const std::string& receiver) {
    const std::string key = UserKey(user);
    const std::string list = store.ReadText(key, cfg::kAccessRcv.name, "");
    std::vector<std::string> items =
        list == cfg::kAccessAll ? EnabledReceivers(store) : AccessItems(list);
    auto it = std::find(items.begin(), items.end(), receiver);
    if (it == items.end()) return AccessEdit::kNotThere;
    items.erase(it);
    store.WriteText(key, cfg::kAccessRcv.name, JoinAccess(items));
    return AccessEdit::kDone;
}

}  // namespace orvana::console
