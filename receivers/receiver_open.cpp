// OpenRcv: the first opener of a receiver builds its link and runs the open sequence under the
// entry's open lock; later openers share it. The receiver table lock is taken only to look at
// and fill the slot and the handle table.

#include <cstdio>
#include <cstdlib>

#include "core/client_session.h"
#include "core/config_keys.h"
#include "core/request_table.h"
#include "core/server.h"
#include "core/text.h"
#include "platform/clock.h"
#include "receivers/command_engine.h"
#include "receivers/receiver_table.h"
#include "receivers/terminal_settings.h"

namespace orvana {
namespace {

constexpr const char* kCantFind = "ER:Can't find receiver.";

std::string ShortDateTime(std::time_t t) {
    const platform::LocalTime lt = platform::ToLocal(t);
    char text[32];
    std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d", lt.day, lt.month, lt.year, lt.hour,
                  lt.minute);
    return text;
}

// The open sequence on a freshly built link. False when the receiver cannot be used; the
// entry's state tells waiting openers whether to try again (1) or give up (0).
bool PrepareReceiver(ReceiverTable& table, ReceiverEntry& entry, Receiver& r,
                     const std::string& interface_key) {
    Server& server = table.server();
    ConfigStore& store = server.store();
    if (r.kind == LinkKind::kCom && r.error_text.empty()) {
        r.speed_text = store.ReadText(interface_key, cfg::kSpeed);
        SpeedSearch(r, false);
        r.rts_cts = store.ReadNumber(interface_key, cfg::kRTSCTS) != 0 ? 1 : 0;
        ChangeFlowControl(r, r.rts_cts != 0);
    }
    if (!r.error_text.empty() &&
        (r.kind == LinkKind::kCom || r.kind == LinkKind::kUsb || r.kind == LinkKind::kModem))
        server.log().WriteLine(r.error_text);
    entry.state = r.error_text.empty() ? 1 : 0;
    if (!r.error_text.empty()) return false;

    InternalCommand(r, kDisableSequence, 0);
    if (r.kind == LinkKind::kModem) {
        // Past the modem: whatever half-line the receiver holds is ended first.
        InternalCommand(r, "%%", 6000);
        InternalCommand(r, "", 100);
    }
    // A gate's other server has prepared the receiver already.
    if (r.kind != LinkKind::kGate) {
        if (!InternalCommand(r, "print,/cur/term", 8000)) return false;
        const std::string terminal_reply = r.last_reply;
        r.current_terminal = terminal_reply.size() > 5 ? terminal_reply.substr(5) : std::string();
        InternalCommand(r, "set,lock/elm,0", 0);
        if (!InternalCommand(r, "%Loop%", 8000) || r.last_reply != "RE006%Loop%") {
            entry.state = 0;
            return false;
        }
        // The receiver's own modem must not hang up an idle line.
        if (r.kind == LinkKind::kModem) {
            const std::string port = terminal_reply.empty()
                                         ? std::string()
                                         : terminal_reply.substr(terminal_reply.size() - 1);
            if (!InternalCommand(r, "%modem%set,modem/" + port + "/rcvtimeout,0", 6000) ||
                !InternalCommand(r, "%modem%set,modem/" + port + "/sndtime,0", 6000))
                return false;
        }
    }
    r.elm_value = "-90";
    InternalCommand(r, "%elm%set,/par/out/elm/cur/term," + r.elm_value, 6000);
    // Nothing is sent to a gate: its message names are the other server's.
    if (r.kind == LinkKind::kGate) return true;

    const bool built = table.messages().Build([&r](const char* command, std::string* reply) {
        if (!InternalCommand(r, command, 6000)) return false;
        *reply = r.reply.Text();
        return true;
    });
    if (table.messages().IgnoredCount() > 0) {
        server.log().WriteLine(
            "Message table full: " + std::to_string(table.messages().IgnoredCount()) +
            " names of the receiver's lists have no index");
    }
    if (!built) {
        server.log().WriteLine("ER:Can't create message table!");
        entry.state = 0;
        return false;
    }
    return true;
}

// Bounded: a receiver that does not end within it is past waiting for.
void WaitUntilEnded(const std::weak_ptr<Receiver>& ending) {
    constexpr uint32_t kEndingWaitMs = 30000;
    const uint32_t start = platform::TickCount();
    while (!ending.expired() && platform::TickCount() - start < kEndingWaitMs)
        platform::SleepMs(20);
}

}  // namespace

unsigned OpenRcv(Server& server, std::string_view args, ClientSession& session, uint8_t h) {
    if (server.receiver_table() == nullptr) return NotYetHandled(server, args, session, h);
    ReceiverTable& table = Receivers(server);
    {
        std::lock_guard<platform::RecursiveLock> guard(server.receiver_table_lock());
        if (h >= 1 && h <= session.handle_count && HasAttachment(session, h)) {
            session.reply = "ER:Don't close receiver.";
            return 0;
        }
    }
    // Handle 0 would leave an attachment nobody can close.
    if (h == 0) {
        session.reply = kCantFind;
        return 0;
    }
    while (!args.empty() && args.front() == ' ') args.remove_prefix(1);
    std::string name(args);
    long lock_request = 0;
    if (const size_t blank = name.find(' '); blank != std::string::npos) {
        lock_request = std::strtol(name.c_str() + blank + 1, nullptr, 10);
        name.resize(blank);
    }
    const std::string interface_name =
        server.store().ReadText(server.receivers_path() + name, cfg::kInterface.name, "");
    const std::string interface_key = server.interface_path() + interface_name;

    unsigned n = 0;
    {
        std::lock_guard<platform::RecursiveLock> guard(server.receiver_table_lock());
        for (unsigned i = 1; i <= ReceiverTable::kSlots && n == 0; ++i)
            if (!name.empty() && server.receiver_names()[i] == name) n = i;
    }
    LinkKind kind{};
    std::string address;
    if (n == 0 || !ListHasItem(session.access_list, name) || interface_name.empty() ||
        !ParseInterface(interface_name, &kind, &address)) {
        session.reply = kCantFind;
        return 0;
    }

    ReceiverEntry& entry = table.entry(n);
    ++entry.pending_opens;
    std::unique_lock<std::mutex> open_guard(entry.open_lock);
    bool result = false;
    bool failed = entry.state == 0;
    if (!failed) {
        auto attachment = std::make_shared<Attachment>();
        attachment->receiver_number = static_cast<uint8_t>(n);
        attachment->handle = h;
        attachment->receiver_name = name;
        attachment->exclusive = lock_request != 0;
        attachment->client_slot = session.slot_index;
        attachment->open_time = platform::UnixTime();
        attachment->open_time_text = ShortDateTime(attachment->open_time);

        bool shared = false;
        bool stale = false;
        std::weak_ptr<Receiver> ending;
        {
            std::lock_guard<platform::RecursiveLock> guard(server.receiver_table_lock());
            ending = entry.ending;
            Receiver* r = table.slot(n);
            if (r != nullptr && r->kind == kind && r->address == address) {
                shared = true;
                if (r->locked || (r->transfer && kind != LinkKind::kTcp)) {
                    session.reply = "ER:Device locked!";
                } else {
                    if (h >= session.handle_table.size()) session.handle_table.resize(h + 1u);
                    session.handle_table[h] = attachment;
                    attachment->held = true;
                    ++r->user_count;
                    r->locked = attachment->exclusive ? 1 : 0;
                    result = true;
                }
            } else if (r != nullptr) {
                stale = true;
            }
        }
        // The interface changed while clients held the old receiver: release them first.
        if (stale) ConnectionLost(server, n);
        if (!shared) {
            // The last close of this receiver may still hold its port (terminate commands, a
            // command still under way): a second opener of the device would be refused.
            WaitUntilEnded(ending);
            if (kind == LinkKind::kTcp && entry.failure_tick != 0) {
                const uint32_t since = server.options().tick() - entry.failure_tick;
                if (since < ReceiverTable::kTcpBackOffMs) {
                    const uint32_t rest = ReceiverTable::kTcpBackOffMs - since;
                    char line[256];
                    std::snprintf(line, sizeof line,
                                  "%s has not recovered from previous comunications failure. "
                                  "Waiting for %u msec.",
                                  name.c_str(), rest);
                    server.log().WriteLine(line);
                    server.options().sleep(rest);
                }
            }
            ReceiverContext context = table.MakeContext();
            context.receiver_name = name;
            context.interface_name = interface_name;
            context.traffic = &server.metrics().receivers[n];
            std::unique_ptr<Receiver> r;
            if (table.link_factory) r = table.link_factory(kind, address, context);
            bool ok = false;
            if (r) {
                r->locked = attachment->exclusive ? 1 : 0;
                ok = PrepareReceiver(table, entry, *r, interface_key);
            } else {
                entry.state = 0;
            }
            if (ok) {
                ++r->user_count;
                entry.failure_tick = 0;
                std::lock_guard<platform::RecursiveLock> guard(server.receiver_table_lock());
                if (h >= session.handle_table.size()) session.handle_table.resize(h + 1u);
                session.handle_table[h] = attachment;
                attachment->held = true;
                table.set_slot(n, std::move(r));
                result = true;
            } else {
                r.reset();
                entry.failure_tick = server.options().tick() | 1u;
                failed = true;
            }
        }
    }
    if (failed) session.reply = "ER:Can't open receiver:" + name;
    if (--entry.pending_opens == 0) entry.state = -1;
    return result ? 1 : 0;
}

}  // namespace orvana
