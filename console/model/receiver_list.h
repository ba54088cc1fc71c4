#pragma once
// The receiver list's changes to the store and the running server: a new receiver with the
// list's defaults, a rename that keeps its values and rewrites the users' access lists, enable
// and disable (which change the receiver table at once and tell the clients), removal, and the
// User Access page's edits of one user's list.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "console/model/user_list.h"

namespace orvana {
class ConfigStore;
class Server;
}  // namespace orvana

namespace orvana::console {

struct ReceiverRow {
    std::string name;
    bool enabled = false;
    std::string interface_column;  // the interface text up to its first ':'
};

ReceiverRow ReadReceiverRow(const ConfigStore& store, const std::string& name);
std::vector<ReceiverRow> ReadReceiverRows(const ConfigStore& store);
unsigned CountEnabledReceivers(const ConfigStore& store);
// "%03d" errors of each open receiver by name; nullopt while the receiver table is busy.
std::optional<std::vector<std::pair<std::string, std::string>>> OpenReceiverErrors(Server& server);

// Ends the in-place edit of a row's name: `old_name` empty for a new row.
NameEdit EndReceiverNameEdit(Server& server, const std::string& old_name,
                             const std::string& new_name);

// The check box: changes the receiver table, tells the clients and stores EnableRcv.
void SetReceiverEnabled(Server& server, const std::string& name, bool enabled);

enum class RemoveResult {
    kRemoved,
    kInUse,       // "This receiver now used": a client holds it; nothing changed
    kNoReceiver,  // not a name a receiver can have: nothing changed
};
RemoveResult RemoveReceiver(Server& server, const std::string& name);

// The User Access page, for one user's AccessRcv.
enum class AccessEdit {
    kDone,
    kAlreadyThere,  // "Already exist!"
    kNotThere,      // "Can't find!"
};
AccessEdit AddReceiverAccess(const ConfigStore& store, const std::string& user,
                             const std::string& receiver);
AccessEdit RemoveReceiverAccess(const ConfigStore& store, const std::string& user,
                                const std::string& receiver);

}  // namespace orvana::console
