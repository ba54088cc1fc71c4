#include "admin/admin_handlers.h"

#include "admin/admin_requests.h"
#include "core/client_session.h"
#include "core/server.h"
#include "links/usb_link.h"
#include "platform/port_folder.h"
#include "receivers/messages_column.h"
#include "receivers/receiver_table.h"

namespace orvana {
namespace {

// How long a connection list waits for the client and receiver tables before it gives up.
constexpr uint32_t kTablesWaitMs = 5000;

std::optional<std::vector<admin::ConnectionRow>> Connections(Server& server) {
    struct Found {
        admin::ConnectionRow row;
        std::shared_ptr<Attachment> attachment;
    };
    std::vector<Found> found;
    ClientsAndReceiversLock locked(server, kTablesWaitMs);
    if (!locked.owns()) return std::nullopt;
    ReceiverTable& table = Receivers(server);
    for (unsigned i = 0; i < ClientTable::kSlots; ++i) {
        std::shared_ptr<ClientSession> s = server.clients().Get(i);
        if (!s || !s->has_handle_table) continue;
        for (const std::shared_ptr<Attachment>& a : s->handle_table) {
            if (!a || table.slot(a->receiver_number) == nullptr) continue;
            Found f;
            f.row.user = s->user_name;
            f.row.task = s->task;
            f.row.address = s->address;
            if (!f.row.address.empty() && f.row.address.back() == ' ') f.row.address.pop_back();
            f.attachment = a;
            found.push_back(std::move(f));
        }
    }
    // The delivery takes the client table lock while it holds an attachment lock.
    locked.ReleaseClients();
    std::vector<admin::ConnectionRow> rows;
    for (Found& f : found) {
        Receiver* r = table.slot(f.attachment->receiver_number);
        if (r == nullptr) continue;
        std::lock_guard<platform::RecursiveLock> guard(r->attachment_lock);
        const Attachment& a = *f.attachment;
        f.row.open_time = a.open_time;
        f.row.bytes_sent = a.bytes_sent;
        f.row.receiver = a.receiver_name;
        f.row.interface_text = r->interface_name;
        f.row.messages = MessagesColumn(table.messages(), a);
        rows.push_back(std::move(f.row));
    }
    return rows;
}

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
    ctx.connections = [&server] { return Connections(server); };
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
