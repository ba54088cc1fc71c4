#include "core/request_table.h"

#include "admin/admin_handlers.h"

#include "core/client_session.h"
#include "core/keep_alive.h"
#include "core/login.h"
#include "core/sessions.h"
#include "receivers/attach_request.h"
#include "receivers/command_request.h"
#include "receivers/receiver_table.h"
#include "script/run_request.h"

namespace orvana {

using namespace request_flag;

// Handlers of later subsystems replace NotYetHandled here, declared in their own headers.
const std::array<RequestEntry, kRequestCount> kRequestTable = {{
    {"OpenUsr", 0x00, &OpenUsr},
    {"CloseUsr", 0x00, &CloseUsr},
    {"OpenRcv", kBindsReceiver, &OpenRcv},
    {"CloseRcv", kBindsReceiver | kDuringTransfer | kNeedsReceiver, &CloseRcvRequest},
    {"Command", kNeedsReceiver, &Command},
    {"Attach", kRefusedInScript | kBindsReceiver | kNeedsReceiver, &Attach},
    {"Detach", kRefusedInScript | kBindsReceiver | kNeedsReceiver, &Detach},
    {"DownloadFile", kRefusedInScript | kNeedsReceiver, &NotYetHandled},
    {"Ping", kRefusedInScript, &Ping},
    {"Chat", kRefusedInScript, &Chat},
    {"CancelDownload", kRefusedInScript | kDuringTransfer | kNeedsReceiver, &NotYetHandled},
    {"GetRcvList", 0x00, &GetRcvList},
    {"Get", 0x00, &Get},
    {"Set", 0x00, &Set},
    {"LoadFile", kRefusedInScript, &NotYetHandled},
    {"LoadFirmware", kRefusedInScript, &NotYetHandled},
    {"Run", kRefusedInScript, &Run},
    {"DetectRcv", kRefusedInScript, &NotYetHandled},
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

unsigned NotYetHandled(Server&, std::string_view, ClientSession& session, uint8_t) {
    session.reply = "ER:Unknown request type";
    return 0;
}

}  // namespace orvana
