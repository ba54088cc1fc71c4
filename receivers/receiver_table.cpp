#include "receivers/receiver_table.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "core/client_session.h"
#include "core/config_keys.h"
#include "core/request_table.h"
#include "core/server.h"
#include "core/text.h"
#include "links/com_link.h"
#include "links/tcp_link.h"
#include "links/tcp_ping.h"
#include "platform/clock.h"
#include "receivers/command_engine.h"
#include "receivers/deliver.h"
#include "receivers/terminal_settings.h"

namespace orvana {
namespace {

constexpr const char* kCantFind = "ER:Can't find receiver.";

std::unique_ptr<Receiver> DefaultLink(LinkKind kind, const std::string& address,
                                      const ReceiverContext& context) {
    if (kind == LinkKind::kCom) return std::make_unique<ComLink>(context, address);
    if (kind == LinkKind::kTcp) return std::make_unique<TcpLink>(context, address);
    return nullptr;
}

std::string ShortDateTime(std::time_t t) {
    const platform::LocalTime lt = platform::ToLocal(t);
    char text[32];
    std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d", lt.day, lt.month, lt.year, lt.hour,
                  lt.minute);
    return text;
}

bool HasAttachment(const ClientSession& s, uint8_t h) {
    return s.has_handle_table && h < s.handle_table.size() && s.handle_table[h] != nullptr;
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
    // A gate's other server has prepared the receiver already.
    if (r.kind != LinkKind::kGate) {
        if (!InternalCommand(r, "print,/cur/term", 8000)) return false;
        r.current_terminal = r.last_reply.size() > 5 ? r.last_reply.substr(5) : std::string();
        InternalCommand(r, "set,lock/elm,0", 0);
        if (!InternalCommand(r, "%Loop%", 8000) || r.last_reply != "RE006%Loop%") {
            entry.state = 0;
            return false;
        }
    }
    r.elm_value = "-90";
    InternalCommand(r, "%elm%set,/par/out/elm/cur/term," + r.elm_value, 6000);

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

}  // namespace

ReceiverTable::ReceiverTable(Server& server) : link_factory(DefaultLink), server_(server) {}

ReceiverTable::~ReceiverTable() {
    watch_stop_.Set();
    watch_.Join();
}

void ReceiverTable::StartLostWatch() {
    if (!watch_.Joinable()) watch_ = platform::Thread([this] { LostWatch(); });
}

void ReceiverTable::LostWatch() {
    constexpr uint32_t kWatchMs = 500;
    while (!watch_stop_.Wait(kWatchMs)) {
        std::array<bool, kSlots + 1> stopped{};
        bool any = false;
        {
            std::lock_guard<platform::RecursiveLock> guard(server_.receiver_table_lock());
            for (unsigned n = 1; n <= kSlots; ++n) {
                const Receiver* r = slots_[n].get();
                stopped[n] = r != nullptr && r->stop != 0 && r->lost == 0;
                any = any || stopped[n];
            }
        }
        if (!any) continue;
        for (unsigned n = 1; n <= kSlots; ++n)
            if (stopped[n]) ConnectionLost(server_, n);
    }
}

ReceiverContext ReceiverTable::MakeContext() const {
    ReceiverContext c;
    c.log = &server_.log();
    c.store = &server_.store();
    c.receivers_path = server_.receivers_path().empty() ? std::string(cfg::kReceiversKey)
                                                        : server_.receivers_path();
    c.interface_path = server_.interface_path().empty() ? std::string(cfg::kInterfaceKey)
                                                        : server_.interface_path();
    c.ports_folder = server_.options().ports_folder;
    c.messages = &messages_;
    c.deliver = [this](Receiver& r, const uint8_t* container, size_t size) {
        if (deliver) deliver(r, container, size);
    };
    c.send_delivered = [this](Receiver& r) {
        if (send_delivered) send_delivered(r);
    };
    return c;
}

ReceiverTable& InstallReceivers(Server& server) {
    auto table = std::make_shared<ReceiverTable>(server);
    ReceiverTable& t = *table;
    server.set_receiver_table(std::move(table));
    t.StartLostWatch();
    const uint32_t data_limit = std::min(kDataSendLimitMs, server.options().send_limit_ms);
    t.deliver = [](Receiver& r, const uint8_t* container, size_t size) {
        DeliverContainer(r, container, size);
    };
    t.send_delivered = [data_limit](Receiver& r) { SendQueuedFrames(r, data_limit); };
    ServerHooks& hooks = server.hooks();
    hooks.close_attachment = [&server](ClientSession& s, uint8_t h) {
        CloseRcv(server, false, s, h);
    };
    hooks.transfer_busy = [&server](ClientSession& s, uint8_t h) {
        std::lock_guard<platform::RecursiveLock> guard(server.receiver_table_lock());
        if (!HasAttachment(s, h)) return false;
        Receiver* r = Receivers(server).slot(s.handle_table[h]->receiver_number);
        return r != nullptr && r->transfer != 0 && r->kind != LinkKind::kTcp;
    };
    hooks.count_sent = [&server](ClientSession& s, uint8_t h, size_t bytes) {
        std::lock_guard<platform::RecursiveLock> guard(server.receiver_table_lock());
        if (HasAttachment(s, h)) s.handle_table[h]->bytes_sent += static_cast<uint32_t>(bytes);
    };
    hooks.ping_receiver = [&server](ClientSession& s, std::string_view name) {
        return PingReceiver(server, s, name);
    };
    return t;
}

ReceiverTable& Receivers(Server& server) {
    return *server.receiver_table();
}

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
        attachment->open_time = std::time(nullptr);
        attachment->open_time_text = ShortDateTime(attachment->open_time);

        bool shared = false;
        bool stale = false;
        {
            std::lock_guard<platform::RecursiveLock> guard(server.receiver_table_lock());
            Receiver* r = table.slot(n);
            if (r != nullptr && r->kind == kind && r->address == address) {
                shared = true;
                if (r->locked || (r->transfer && kind != LinkKind::kTcp)) {
                    session.reply = "ER:Device locked!";
                } else {
                    if (h >= session.handle_table.size()) session.handle_table.resize(h + 1u);
                    session.handle_table[h] = attachment;
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

unsigned CloseRcvRequest(Server& server, std::string_view, ClientSession& session, uint8_t h) {
    return CloseRcv(server, true, session, h) ? 1 : 0;
}

bool CloseRcv(Server& server, bool set_reply, ClientSession& s, uint8_t h) {
    if (server.receiver_table() == nullptr) return false;
    ReceiverTable& table = Receivers(server);
    std::string reply = "ER:Not connection to receiver";
    bool result = false;
    {
        std::lock_guard<platform::RecursiveLock> guard(server.receiver_table_lock());
        Receiver* r = nullptr;
        std::shared_ptr<Attachment> a;
        if (h != 0 && HasAttachment(s, h)) {
            a = s.handle_table[h];
            r = table.slot(a->receiver_number);
        }
        if (r != nullptr) {
            {
                std::lock_guard<platform::RecursiveLock> att(r->attachment_lock);
                s.handle_table[h].reset();
                r->output.RemoveGroup(a.get(), kGroupAll);
            }
            result = true;
            if (a->exclusive) r->locked = 0;
            if (a->transfer && table.cancel_transfer) table.cancel_transfer(*a);
            if (r->stop == 0) DisableOutput(*r);
            s.send_total += static_cast<int32_t>(a->bytes_sent);
            s.error_total += static_cast<int32_t>(r->error_count.load());
            char text[64];
            std::snprintf(text, sizeof text, "RE:OK. Send=%u", a->bytes_sent.load());
            reply = text;
            if (--r->user_count <= 0) {
                DeleteReceiver(server, a->receiver_number);
            } else if (r->stop == 0) {
                result = table.resend_output ? table.resend_output(*r) : ResendOutputList(*r);
            }
        }
    }
    if (set_reply) s.reply = reply;
    return result;
}

bool DeleteReceiver(Server& server, unsigned n) {
    ReceiverTable& table = Receivers(server);
    std::unique_ptr<Receiver> r = table.take_slot(n);
    if (!r) return false;
    if (r->stop == 0 && r->kind == LinkKind::kCom) {
        InternalCommand(*r, "%terminate%set,/par/cur/term/rtscts,off", 6000);
        InternalCommand(*r, "%terminate%set,cur/term/rate,115200", 6000);
        r->SetSpeed(115200);
    }
    table.entry(n).state = -1;
    // A command still under way on another thread finishes before the receiver goes.
    { std::lock_guard<platform::RecursiveLock> wait(r->command_lock); }
    r.reset();
    return true;
}

void DisableOutput(Receiver& r) {
    if (r.kind == LinkKind::kGate) return;
    InternalCommand(r, kDisableSequence, 0);
    platform::SleepMs(100);
}

bool ResendOutputList(Receiver& r) {
    r.output_active = 1;
    std::string list;
    {
        std::lock_guard<platform::RecursiveLock> att(r.attachment_lock);
        list = r.output.OutputList();
    }
    bool ok = true;
    size_t pos = 0;
    while (pos < list.size()) {
        const std::string_view piece = std::string_view(list).substr(pos, 116);
        const size_t end = piece.rfind('}');
        // Every item ends in "},"; an item too long for one command cannot be sent whole.
        if (end == std::string_view::npos) return false;
        pos += end + 2;
        if (!InternalCommand(r, "%em%em,," + std::string(piece.substr(0, end + 1)), 6000))
            ok = false;
    }
    return ok;
}

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
        if (max_wait_ms != 0 && platform::TickCount() - start >= max_wait_ms) return;
        platform::SleepMs(max_wait_ms != 0 ? 20 : 200);
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

void ConnectionLost(Server& server, unsigned n) {
    ReceiverTable& table = Receivers(server);
    ClientsAndReceiversLock locked(server);
    Receiver* r = table.slot(n);
    // Released already, by a command that found the receiver stopped or by the watch.
    if (r == nullptr || r->lost != 0) return;
    r->lost = 1;
    const std::string name = r->receiver_name;
    server.log().WriteLine("Clear all resource use receiver=" + name);
    const std::string notice = "ER:Connection lost to receiver:" + name;
    for (unsigned i = 0; i < ClientTable::kSlots; ++i) {
        std::shared_ptr<ClientSession> s = server.clients().Get(i);
        if (!s || !s->has_handle_table) continue;
        // Every handle on this receiver: one left behind would keep the receiver open.
        for (unsigned h = 1; h <= s->handle_count && h < s->handle_table.size(); ++h) {
            if (!s->handle_table[h] || s->handle_table[h]->receiver_name != name) continue;
            server.SendReply(i, static_cast<uint8_t>(h), 0xC00, 0, notice);
            CloseRcv(server, false, *s, static_cast<uint8_t>(h));
        }
    }
}

}  // namespace orvana
