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
#include "links/gate_link.h"
#include "links/modem_link.h"
#include "links/tcp_link.h"
#include "links/tcp_ping.h"
#include "links/usb_link.h"
#include "platform/clock.h"
#include "receivers/command_engine.h"
#include "receivers/deliver.h"
#include "receivers/terminal_settings.h"

namespace orvana {
namespace {

std::unique_ptr<Receiver> DefaultLink(LinkKind kind, const std::string& address,
                                      const ReceiverContext& context) {
    if (kind == LinkKind::kCom) return std::make_unique<ComLink>(context, address);
    if (kind == LinkKind::kTcp) return std::make_unique<TcpLink>(context, address);
    if (kind == LinkKind::kModem) return std::make_unique<ModemLink>(context, address);
    if (kind == LinkKind::kUsb) return std::make_unique<UsbLink>(context, address);
    if (kind == LinkKind::kGate) {
        const std::string key = context.interface_path + context.interface_name;
        return std::make_unique<GateLink>(context, address, context.store->ReadText(key, cfg::kUsr),
                                          context.store->ReadText(key, cfg::kRcv));
    }
    return nullptr;
}

}  // namespace

bool HasAttachment(const ClientSession& s, uint8_t h) {
    return s.has_handle_table && h < s.handle_table.size() && s.handle_table[h] != nullptr;
}

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
        std::array<std::shared_ptr<Receiver>, kSlots + 1> watched{};
        bool any = false;
        {
            std::lock_guard<platform::RecursiveLock> guard(server_.receiver_table_lock());
            for (unsigned n = 1; n <= kSlots; ++n) {
                const Receiver* r = slots_[n].get();
                stopped[n] = r != nullptr && r->stop != 0 && r->lost == 0;
                if (stopped[n]) watched[n] = slots_[n];
                any = any || stopped[n];
            }
        }
        if (!any) continue;
        for (unsigned n = 1; n <= kSlots; ++n)
            if (stopped[n]) ConnectionLost(server_, n, watched[n].get());
    }
}

bool ReceiverTable::ResendOutput(Receiver& r) {
    return resend_output ? resend_output(r) : ResendOutputList(r);
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
    c.modem_dial_ms = server_.options().modem_dial_ms;
    Server* server = &server_;
    c.send_to_client = [server](const std::weak_ptr<ClientSession>& to, uint8_t handle,
                                uint16_t type, std::string_view data) {
        if (std::shared_ptr<ClientSession> client = to.lock())
            server->SendFrame(client, handle, type, 0, data.data(), data.size());
    };
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
    t.deliver = [](Receiver& r, const uint8_t* container, size_t size) {
        DeliverContainer(r, container, size);
    };
    t.send_delivered = [](Receiver& r) { SendQueuedFrames(r); };
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

}  // namespace orvana
