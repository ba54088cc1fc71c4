#include "core/request_table.h"

#include "admin/admin_handlers.h"

#include "core/client_session.h"
#include "core/keep_alive.h"
#include "core/login.h"
#include "core/sessions.h"
#include "links/receiver_detection.h"
#include "receivers/attach_request.h"
#include "receivers/command_request.h"
#include "receivers/receiver_table.h"
#include "script/run_request.h"
#include "transfer/transfer_requests.h"

namespace orvana {

using namespace request_flag;

// Handlers of later subsystems replace NotYetHandled here, declared in their own headers.
// Without a login only these pass: logging in and out, the keep-alive Ping (whose receiver form
// consults the access list, empty before login), Chat, and Set, which has its super-user rule.
const std::array<RequestEntry, kRequestCount> kRequestTable = {{
    {"OpenUsr", 0x00, false, &OpenUsr},
    {"CloseUsr", 0x00, false, &CloseUsr},
    {"OpenRcv", kBindsReceiver, true, &OpenRcv},
    {"CloseRcv", kBindsReceiver | kDuringTransfer | kNeedsReceiver, true, &CloseRcvRequest},
    {"Command", kNeedsReceiver, true, &Command},
    {"Attach", kRefusedInScript | kBindsReceiver | kNeedsReceiver, true, &Attach},
    {"Detach", kRefusedInScript | kBindsReceiver | kNeedsReceiver, true, &Detach},
    {"DownloadFile", kRefusedInScript | kNeedsReceiver, true, &DownloadFile},
    {"Ping", kRefusedInScript, false, &Ping},
    {"Chat", kRefusedInScript, false, &Chat},
    {"CancelDownload", kRefusedInScript | kDuringTransfer | kNeedsReceiver, true, &CancelDownload},
    {"GetRcvList", 0x00, true, &GetRcvList},
    {"Get", 0x00, true, &Get},
    {"Set", 0x00, false, &Set},
    {"LoadFile", kRefusedInScript, true, &LoadFile},
    {"LoadFirmware", kRefusedInScript, true, &LoadFirmware},
    {"Run", kRefusedInScript, true, &Run},
    {"DetectRcv", kRefusedInScript, true, &DetectRcv},
}};

const RequestEntry* FindRequest(std::string_view text, std::string_view* args) {
    for (const RequestEntry& e : kRequestTable) {
        std::string_view name = e.name;
        if (text.substr(0, name.size()) != name) continue;
        if (text.size() > name.size() && text[name.size()] != ' ') continue;
        std::string_view rest = text.substr(name.size());
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        *args = rest;
        return &e;
    }
    return nullptr;
}

unsigned RunRequest(const RequestEntry& entry, Server& server, std::string_view args,
                    ClientSession& session, uint8_t handle) {
    if (entry.needs_login && !session.logged_in) {
        session.reply = "ER:User not open!";
        return 0;
    }
    return entry.handler(server, args, session, handle);
}

unsigned NotYetHandled(Server&, std::string_view, ClientSession& session, uint8_t) {
    session.reply = "ER:Unknown request type";
    return 0;
}

}  // namespace orvana
