// A receiver whose link has stopped: every client holding it gets the 0xC00 notice and loses its
// handle. The client and receiver tables are taken together by polling, never waited for in
// turn, and let go before the receiver ends.

#include <algorithm>
#include <vector>

#include "core/client_session.h"
#include "core/server.h"
#include "platform/clock.h"
#include "receivers/receiver_table.h"

namespace orvana {

ClientsAndReceiversLock::ClientsAndReceiversLock(Server& server, uint32_t max_wait_ms) {
    platform::RecursiveLock& clients = server.clients().lock();
    platform::RecursiveLock& table = server.receiver_table_lock();
    const uint32_t start = platform::TickCount();
    for (;;) {
        if (clients.try_lock()) {
            if (table.try_lock()) {
                clients_ = &clients;
                table_ = &table;
                return;
            }
            clients.unlock();
        }
        if (max_wait_ms == 0) {
            platform::SleepMs(200);
            continue;
        }
        const uint32_t spent = platform::TickCount() - start;
        if (spent >= max_wait_ms) return;
        platform::SleepMs(std::min<uint32_t>(20, max_wait_ms - spent));
    }
}

ClientsAndReceiversLock::~ClientsAndReceiversLock() {
    ReleaseClients();
    if (table_ != nullptr) table_->unlock();
}

void ClientsAndReceiversLock::ReleaseClients() {
    if (clients_ != nullptr) clients_->unlock();
    clients_ = nullptr;
}

std::vector<PendingClose> DetachEveryHandle(Server& server, const std::string& name, uint16_t type,
                                            const std::string& notice, int skip_slot) {
    std::vector<PendingClose> closes;
    for (unsigned i = 0; i < ClientTable::kSlots; ++i) {
        if (static_cast<int>(i) == skip_slot) continue;
        std::shared_ptr<ClientSession> s = server.clients().Get(i);
        if (!s || !s->has_handle_table) continue;
        // Every handle on this receiver: one left behind would keep the receiver open.
        for (unsigned h = 1; h <= s->handle_count && h < s->handle_table.size(); ++h) {
            if (!s->handle_table[h] || s->handle_table[h]->receiver_name != name) continue;
            server.SendReply(i, static_cast<uint8_t>(h), type, 0, notice);
            std::string ignored;
            closes.push_back(DetachHandle(server, *s, static_cast<uint8_t>(h), &ignored));
        }
    }
    return closes;
}

void ConnectionLost(Server& server, unsigned n, const Receiver* which) {
    ReceiverTable& table = Receivers(server);
    std::vector<PendingClose> closes;
    {
        ClientsAndReceiversLock locked(server);
        Receiver* r = table.slot(n);
        // Released already, by a command that found the receiver stopped or by the watch.
        if (r == nullptr || r->lost != 0 || (which != nullptr && r != which)) return;
        r->lost = 1;
        const std::string name = r->receiver_name;
        server.log().WriteLine("Clear all resource use receiver=" + name);
        const std::string notice = "ER:Connection lost to receiver:" + name;
        closes = DetachEveryHandle(server, name, 0xC00, notice);
    }
    // The receiver ends here, with the tables free: its reader may be in a delivery.
    for (PendingClose& close : closes)
        if (close.receiver) FinishClose(server, std::move(close));
}

}  // namespace orvana
