#include "admin/admin_handlers.h"

#include "admin/admin_requests.h"
#include "core/client_session.h"
#include "core/server.h"
#include "links/usb_link.h"
#include "platform/port_folder.h"
#include "receivers/receiver_table.h"

namespace orvana {
namespace {

// How long a connection list waits for the client and receiver tables before it gives up.
constexpr uint32_t kTablesWaitMs = 5000;

admin::AdminContext ContextFor(Server& server, ClientSession& session) {
    admin::AdminContext ctx;
    ctx.store = &server.store();
    ctx.super_user = session.super_user;
    ctx.reply = &session.reply;
    ctx.announced_columns = &server.announced_columns();
    std::string ports = server.options().ports_folder;
    ctx.serial_ports = [ports] { return platform::ListComPorts(ports); };
    ctx.usb_paths = [] {
        std::vector<std::string> paths;
        for (UsbReceiverDevice& r : EnumerateUsbReceivers()) paths.push_back(std::move(r.path));
        return paths;
    };
    ctx.connections = [&server] { return admin::ReadConnectionRows(server, kTablesWaitMs); };
    return ctx;
}

}  // namespace

unsigned Get(Server& server, std::string_view args, ClientSession& session, uint8_t) {
    auto ctx = ContextFor(server, session);
    return admin::HandleGet(args, ctx);
}

unsigned Set(Server& server, std::string_view args, ClientSession& session, uint8_t) {
    auto ctx = ContextFor(server, session);
    return admin::HandleSet(args, ctx);
}

}  // namespace orvana
