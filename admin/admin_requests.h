#pragma once
// The Get and Set requests: the remote counterpart of the operator's configuration dialogs.
// Records are texts of "/"-terminated fields; everything read and written is in the store.
//
// The handlers see the server through AdminContext so that the record formats stand apart from
// the client and receiver tables they report on.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "admin/connection_rows.h"

namespace orvana {
class ConfigStore;
}

namespace orvana::admin {

struct AdminContext {
    const ConfigStore* store = nullptr;
    bool super_user = false;       // the requesting session's right
    std::string* reply = nullptr;  // the session's reply text, preset "RE:OK."
    std::atomic<uint32_t>* announced_columns = nullptr;      // server-wide, 0 at start-up
    std::function<std::vector<std::string>()> serial_ports;  // "COM1", "COM3", ...
    std::function<std::vector<std::string>()> usb_paths;     // device interface paths
    // Slot order, then handle order; nullopt when the tables stayed busy.
    std::function<std::optional<std::vector<ConnectionRow>>()> connections;
};

inline constexpr const char* kTablesBusy = "ER:Server busy, try again";
inline constexpr const char* kNotAuthorized = "ER:User not authorized to send this command!";
// A Set whose record was valid but could not be stored (a full disk, a failing store).
inline constexpr const char* kNotSaved = "ER:Can't save configuration!";

unsigned HandleGet(std::string_view argument, AdminContext& ctx);
unsigned HandleSet(std::string_view argument, AdminContext& ctx);

// The connection list header ("RE:Date Start/16,...").
std::string ConnectionListHeader();

}  // namespace orvana::admin
