#include "core/keep_alive.h"

#include "core/client_session.h"
#include "core/server.h"
#include "platform/clock.h"

namespace orvana {

unsigned Ping(Server& server, std::string_view args, ClientSession& session, uint8_t) {
    if (args.empty()) return 1;
    if (server.hooks().ping_receiver) return server.hooks().ping_receiver(session, args);
    session.reply = "ER:Can't find receiver.";
    return 0;
}

void RunKeepAliveCycle(Server& server) {
    server.log().WriteLine("Pinging client.");
    ClientTable& table = server.clients();
    for (unsigned slot = 0; slot < ClientTable::kSlots; ++slot) {
        // Never wait on the table lock: whoever holds it may be waiting on a client.
        std::unique_lock<platform::RecursiveLock> guard(table.lock(), std::try_to_lock);
        while (!guard.owns_lock()) {
            platform::SleepMs(200);
            guard.try_lock();
        }
        std::shared_ptr<ClientSession> s = table.Get(slot);
        if (!s || !s->remote || !s->IsOpen() || s->lost) continue;
        const std::string user = s->user_name;
        const std::string task = s->task;
        const std::string address = s->address;
        const uint32_t connected_for = platform::TickCount() - s->connected_tick;
        // The send itself runs without the table lock (bounded by the send limit), so one
        // client that stops reading does not hold up the others.
        guard.unlock();
        if (user.empty()) {
            // A client gets the first-frame wait to log in; without it a cycle could drop a
            // client whose login is still on its way, as at start-up when the first cycle runs.
            if (connected_for < server.options().first_frame_wait_ms) continue;
            server.log().WriteLine("Client=" + address + "never logged in - disconnected");
            s->Cleanup();
            continue;
        }
        if (!server.SendKeepAlive(slot))
            server.log().WriteLine("Client=" + user + "(" + address + ") Task=" + task +
                                   " - lost!(Ping)");
    }
}

}  // namespace orvana
