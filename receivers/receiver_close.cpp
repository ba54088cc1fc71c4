// CloseRcv in its two steps: the table work under the receiver table lock, then the receiver's
// part (output stopped and sent again, the last user's terminate commands) with the tables free.

#include <cstdio>

#include "core/client_session.h"
#include "core/server.h"
#include "links/gate_link.h"
#include "receivers/command_engine.h"
#include "receivers/receiver_table.h"

namespace orvana {

unsigned CloseRcvRequest(Server& server, std::string_view, ClientSession& session, uint8_t h) {
    return CloseRcv(server, true, session, h) ? 1 : 0;
}

bool CloseRcv(Server& server, bool set_reply, ClientSession& s, uint8_t h) {
    if (server.receiver_table() == nullptr) return false;
    std::string reply;
    PendingClose close;
    {
        std::lock_guard<platform::RecursiveLock> guard(server.receiver_table_lock());
        close = DetachHandle(server, s, h, &reply);
    }
    if (set_reply) s.reply = reply;
    return close.receiver != nullptr && FinishClose(server, std::move(close));
}

PendingClose DetachHandle(Server& server, ClientSession& s, uint8_t h, std::string* reply) {
    ReceiverTable& table = Receivers(server);
    PendingClose close;
    *reply = "ER:Not connection to receiver";
    if (h == 0 || !HasAttachment(s, h)) return close;
    const std::shared_ptr<Attachment> a = s.handle_table[h];
    const unsigned n = a->receiver_number;
    std::shared_ptr<Receiver> r = table.shared_slot(n);
    if (r == nullptr) return close;
    {
        std::lock_guard<platform::RecursiveLock> att(r->attachment_lock);
        s.handle_table[h].reset();
        a->held = false;
        r->output.RemoveGroup(a.get(), kGroupAll);
        close.gate_stream = a->gate_stream;
    }
    // The handle may soon name another receiver: no more of this one's data on it.
    if (auto* gate = dynamic_cast<GateLink*>(r.get()); gate != nullptr && close.gate_stream != 0)
        gate->MuteClientStream(close.gate_stream);
    if (a->exclusive) r->locked = 0;
    if (a->transfer && table.cancel_transfer) {
        close.transfer = a->transfer;
        table.cancel_transfer(*a);
    }
    s.send_total += static_cast<int32_t>(a->bytes_sent.load());
    s.error_total += static_cast<int32_t>(r->error_count.load());
    char text[64];
    std::snprintf(text, sizeof text, "RE:OK. Send=%u", a->bytes_sent.load());
    *reply = text;
    if (--r->user_count <= 0) {
        table.take_slot(n);
        table.entry(n).state = -1;
        table.entry(n).ending = r;
        close.last = true;
    }
    close.receiver = std::move(r);
    return close;
}

bool FinishClose(Server& server, PendingClose close) {
    ReceiverTable& table = Receivers(server);
    // The transfer gives the receiver its Parse mode back as it ends: the commands below need it.
    if (close.transfer && table.await_transfer) table.await_transfer(close.transfer);
    Receiver& r = *close.receiver;
    if (r.stop != 0) return true;
    if (auto* gate = dynamic_cast<GateLink*>(&r); gate != nullptr && close.gate_stream != 0)
        gate->CloseClientStream(close.gate_stream);
    // One output sequence at a time on a receiver: another client's attach or close must not
    // slip its list between this one's "dm" and "em".
    std::lock_guard<platform::RecursiveLock> command(r.command_lock);
    DisableOutput(r);
    if (close.last) {
        if (r.kind == LinkKind::kCom) {
            InternalCommand(r, "%terminate%set,/par/cur/term/rtscts,off", 6000);
            InternalCommand(r, "%terminate%set,cur/term/rate,115200", 6000);
            r.SetSpeed(115200);
        }
        return true;
    }
    return table.ResendOutput(r);
}

}  // namespace orvana
