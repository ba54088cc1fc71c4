#include "receivers/command_request.h"

#include <string>

#include "core/client_session.h"
#include "core/event_log.h"
#include "core/request_table.h"
#include "core/server.h"
#include "receivers/command_engine.h"
#include "receivers/command_guards.h"
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
    std::unique_lock<platform::RecursiveLock> table_guard(server.receiver_table_lock());
    Receiver* r = nullptr;
    std::shared_ptr<Attachment> a;
    if (h != 0 && s.has_handle_table && h < s.handle_table.size() && s.handle_table[h]) {
        a = s.handle_table[h];
        r = table.slot(a->receiver_number);
    }
    if (r == nullptr) {
        s.reply = "ER:Connection to receiver lost";
        return 0;
    }
    if (IsBlockedCommand(command, r->current_terminal)) {
        s.reply = "ER:Command blocked";
        return 0;
    }
    std::string text(command);
    if (r->kind == LinkKind::kGate) {
        // The other server gets the whole request frame and answers it itself.
        text =
            std::string(s.receive_buffer.data(),
                        std::min<size_t>(s.frame_length + 6u, ClientSession::kReceiveBufferSize));
    } else if (IsFullReset(command)) {
        DisableOutput(*r);
        server.log().WriteLine("Run reset receiver=" + a->receiver_name);
        const std::string notice = "RS:" + a->receiver_name + ",0";
        for (unsigned i = 0; i < ClientTable::kSlots; ++i) {
            if (i == s.slot_index) continue;
            std::shared_ptr<ClientSession> other = server.clients().Get(i);
            if (!other || !other->has_handle_table) continue;
            for (unsigned k = 1; k <= other->handle_count && k < other->handle_table.size(); ++k) {
                if (!other->handle_table[k] ||
                    other->handle_table[k]->receiver_name != a->receiver_name)
                    continue;
                server.SendReply(i, static_cast<uint8_t>(k), kResetNotice, 0, notice);
                CloseRcv(server, false, *other, static_cast<uint8_t>(k));
            }
        }
        if (a->transfer && table.cancel_transfer) table.cancel_transfer(*a);
        r->output_active = 0;
        std::lock_guard<platform::RecursiveLock> att(r->attachment_lock);
        r->output.RemoveGroup(a.get(), kGroupAll);
    }

    ++r->sender_count;
    std::unique_lock<platform::RecursiveLock> command_guard(r->command_lock);
    const unsigned n = a->receiver_number;
    table_guard.unlock();
    unsigned result = 0;
    if (text.compare(0, 4, "@scr") == 0) {
        if (--r->sender_count == 0) r->reply_state = -1;
        result = RunScript(*r, text, &s.reply);
    } else {
        result = SendCommand(*r, text, &s.reply, server.options().command_reply_ms) ? 1 : 0;
    }
    const bool lost = r->stop != 0 && r->lost == 0;
    command_guard.unlock();
    if (lost) ConnectionLost(server, n);
    return result;
}

}  // namespace orvana
