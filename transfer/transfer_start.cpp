#include "transfer/transfer_start.h"

#include "core/client_session.h"
#include "core/server.h"
#include "platform/sync.h"
#include "receivers/pass_on.h"
#include "receivers/receiver_table.h"
#include "transfer/transfer_session.h"

namespace orvana {

bool FindTransferTarget(Server& server, ClientSession& s, uint8_t h, TransferTarget* target) {
    target->client = server.clients().Get(s.slot_index);
    if (target->client.get() != &s) {
        s.reply = "ER:Invalid type request";  // a client inside the server has no socket
        return false;
    }
    std::lock_guard<platform::RecursiveLock> guard(server.receiver_table_lock());
    if (!HasAttachment(s, h)) {
        s.reply = "ER:Receiver not open!";
        return false;
    }
    target->attachment = s.handle_table[h];
    target->receiver = Receivers(server).shared_slot(target->attachment->receiver_number);
    if (!target->receiver) {
        s.reply = "ER:Connection to receiver lost";
        return false;
    }
    // One transfer per handle: a TCP receiver stays open to requests while it runs.
    if (target->attachment->transfer) {
        s.reply = "ER:Download in progress";
        return false;
    }
    return true;
}

unsigned PassOnTransfer(const TransferTarget& target, ClientSession& s) {
    Receiver& gate = *target.receiver;
    {
        std::lock_guard<std::mutex> guard(gate.relay_lock);
        gate.relay_client = target.client;
        gate.relay_handle = target.attachment->handle;
    }
    return PassOn(gate, s);
}

bool LaunchTransfer(const std::shared_ptr<TransferSession>& s,
                    std::function<void(TransferSession&)> body, bool upload, std::string* reply) {
    Server& server = s->server;
    ReceiverTable& table = Receivers(server);
    Receiver& r = *s->primary;
    {
        std::lock_guard<platform::RecursiveLock> guard(server.receiver_table_lock());
        if (!s->attachment->held || table.slot(s->receiver_number) != &r) {
            *reply = "ER:Connection to receiver lost";
            return false;
        }
        s->attachment->transfer = s;
        // An upload takes the receiver whatever its link; a download leaves a TCP receiver open
        // to its other clients (the blocks travel on a connection of their own).
        if (r.kind != LinkKind::kTcp || upload) r.transfer = 1;
        if (upload) r.locked = 1;
    }
    std::string why;
    if (Transfers(server).Launch(s, std::move(body), &why)) {
        Bump(upload ? server.metrics().uploads_started : server.metrics().downloads_started);
        return true;
    }
    server.log().WriteLine("ER:" + s->receiver_name + " cannot start the transfer thread (" + why +
                           ")");
    *reply = "ER:Can't start thread";
    return false;
}

std::string_view BareFileName(std::string_view path) {
    if (const size_t sep = path.find_last_of("\\/"); sep != std::string_view::npos)
        path.remove_prefix(sep + 1);
    return path.substr(0, path.find(' '));
}

bool IsPlainFileName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) return false;
        switch (c) {
            case '/':
            case '\\':
            case '%':
            case '&':
            case ',':
            case ';':
            case '|':
            case '{':
            case '}':
            case '@':
            case ':':
            case '"':
            case ' ':
                return false;
            default:
                break;
        }
    }
    return true;
}

}  // namespace orvana
