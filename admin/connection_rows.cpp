#include "admin/connection_rows.h"

#include <memory>

#include "core/client_session.h"
#include "core/server.h"
#include "receivers/attachment.h"
#include "receivers/messages_column.h"
#include "receivers/receiver_table.h"

namespace orvana::admin {

std::optional<std::vector<ConnectionRow>> ReadConnectionRows(Server& server, uint32_t max_wait_ms) {
    struct Found {
        ConnectionRow row;
        std::shared_ptr<Attachment> attachment;
    };
    std::vector<Found> found;
    ClientsAndReceiversLock locked(server, max_wait_ms);
    if (!locked.owns()) return std::nullopt;
    ReceiverTable& table = Receivers(server);
    for (unsigned i = 0; i < ClientTable::kSlots; ++i) {
        std::shared_ptr<ClientSession> s = server.clients().Get(i);
        if (!s || !s->has_handle_table) continue;
        for (size_t h = 0; h < s->handle_table.size(); ++h) {
            const std::shared_ptr<Attachment>& a = s->handle_table[h];
            if (!a || table.slot(a->receiver_number) == nullptr) continue;
            Found f;
            f.row.user = s->user_name;
            f.row.task = s->task;
            f.row.address = s->address;
            if (!f.row.address.empty() && f.row.address.back() == ' ') f.row.address.pop_back();
            f.row.last_request = s->last_request();
            f.row.slot = static_cast<uint16_t>(i);
            f.row.handle = static_cast<uint8_t>(h);
            f.attachment = a;
            found.push_back(std::move(f));
        }
    }
    // The delivery takes the client table lock while it holds an attachment lock.
    locked.ReleaseClients();
    std::vector<ConnectionRow> rows;
    for (Found& f : found) {
        Receiver* r = table.slot(f.attachment->receiver_number);
        if (r == nullptr) continue;
        std::lock_guard<platform::RecursiveLock> guard(r->attachment_lock);
        const Attachment& a = *f.attachment;
        f.row.open_time = a.open_time;
        f.row.open_time_text = a.open_time_text;
        f.row.bytes_sent = a.bytes_sent;
        f.row.receiver = a.receiver_name;
        f.row.interface_text = r->interface_name;
        f.row.messages = MessagesColumn(table.messages(), a);
        rows.push_back(std::move(f.row));
    }
    return rows;
}

}  // namespace orvana::admin
