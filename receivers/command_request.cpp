#include "receivers/command_request.h"

#include <algorithm>
#include <string>
#include <vector>

#include "core/client_session.h"
#include "core/event_log.h"
#include "core/request_table.h"
#include "core/server.h"
#include "receivers/command_engine.h"
#include "receivers/command_guards.h"
#include "receivers/pass_on.h"
#include "receivers/receiver_table.h"

namespace orvana {
namespace {

constexpr uint16_t kResetNotice = 0x900;

}  // namespace

unsigned Command(Server& server, std::string_view command, ClientSession& s, uint8_t h) {
    if (NeedsSuperUser(command) && !s.super_user) {
        s.reply = "ER:User not authorized to send this command!";
        return 0;
    }
    if (server.receiver_table() == nullptr) return NotYetHandled(server, command, s, h);
    ReceiverTable& table = Receivers(server);
    std::shared_ptr<Receiver> r;
    std::shared_ptr<Attachment> a;
    std::string text(command);
    std::vector<PendingClose> released;
    bool reset = false;
    {
        // Table work only: the receiver is waited for once the lock is released.
        std::lock_guard<platform::RecursiveLock> table_guard(server.receiver_table_lock());
        if (h != 0 && HasAttachment(s, h)) {
            a = s.handle_table[h];
            r = table.shared_slot(a->receiver_number);
        }
        if (r == nullptr) {
            s.reply = "ER:Connection to receiver lost";
            return 0;
        }
        if (IsBlockedCommand(command, r->current_terminal)) {
            s.reply = "ER:Command blocked";
            return 0;
        }
        if (r->kind == LinkKind::kGate) {
            // The other server gets the whole request frame and answers it itself.
            text = CurrentRequestFrame(s);
        } else if (IsFullReset(command)) {
            reset = true;
            released = DetachEveryHandle(server, a->receiver_name, kResetNotice,
                                         "RS:" + a->receiver_name + ",0", s.slot_index);
            if (a->transfer && table.cancel_transfer) table.cancel_transfer(*a);
            r->output_active = 0;
            std::lock_guard<platform::RecursiveLock> att(r->attachment_lock);
            r->output.RemoveGroup(a.get(), kGroupAll);
        }
    }
    if (reset) {
        DisableOutput(*r);
        server.log().WriteLine("Run reset receiver=" + a->receiver_name);
        for (PendingClose& close : released) FinishClose(server, std::move(close));
    }

    ++r->sender_count;
    std::unique_lock<platform::RecursiveLock> command_guard(r->command_lock);
    unsigned result = 0;
    if (text.compare(0, 4, "@scr") == 0) {
        if (--r->sender_count == 0) r->reply_state = -1;
        result = RunScript(*r, text, &s.reply);
    } else {
        result = SendCommand(*r, text, &s.reply, server.options().command_reply_ms) ? 1 : 0;
    }
    const bool lost = r->stop != 0 && r->lost == 0;
    command_guard.unlock();
    if (lost) ConnectionLost(server, a->receiver_number, r.get());
    return result;
}

}  // namespace orvana
