#include "admin/admin_handlers.h"

#include "admin/admin_requests.h"
#include "core/client_session.h"
#include "core/server.h"
#include "platform/port_folder.h"

namespace orvana {
namespace {

// Set by the first header request of any client, never cleared.
std::atomic<uint32_t> g_announced_columns{0};

admin::AdminContext ContextFor(Server& server, ClientSession& session) {
    admin::AdminContext ctx;
    ctx.store = &server.store();
    ctx.super_user = session.super_user;
    ctx.reply = &session.reply;
    ctx.announced_columns = &g_announced_columns;
    std::string ports = server.options().ports_folder;
    ctx.serial_ports = [ports] { return platform::ListComPorts(ports); };
    // No USB receivers can be enumerated until the USB link exists; rows come from the
    // attachments of the receiver table.
    ctx.usb_paths = [] { return std::vector<std::string>{}; };
    ctx.connections = [] { return std::vector<admin::ConnectionRow>{}; };
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
