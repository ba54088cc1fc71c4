#include "transfer/transfer_session.h"

#include "core/client_session.h"
#include "core/config_keys.h"
#include "core/server.h"
#include "receivers/receiver_table.h"
#include "transfer/ftp_client.h"
#include "transfer/load_file.h"

namespace orvana {

TransferSession::TransferSession(Server& srv, const std::shared_ptr<ClientSession>& c,
                                 const std::shared_ptr<Attachment>& a,
                                 std::shared_ptr<Receiver> receiver, std::string text)
    : server(srv),
      client(c),
      attachment(a),
      handle(a->handle),
      client_slot(c->slot_index),
      receiver_number(a->receiver_number),
      receiver_name(a->receiver_name),
      request(std::move(text)),
      primary(std::move(receiver)) {
    primary->raw_input_event.ResetEvent();
}

TransferSession::~TransferSession() = default;

Receiver& TransferSession::link() const {
    return second ? *second : *primary;
}

bool TransferSession::SendToClient(std::string_view text) {
    std::shared_ptr<ClientSession> c = client.lock();
    // A download goes at the client's pace: its queue never holds more than a pacing window.
    return server.SendFrame(c, handle, frame_type, 0, text.data(), text.size()) &&
           server.PaceSends(*c);
}

void TransferSession::ReadSettings() {
    const ConfigStore& store = server.store();
    auto read = [&](const cfg::NumberSetting& s, uint32_t max) {
        uint32_t v = store.ReadNumber(cfg::kDownloadKey, s.name, 0, KeyAccess::Create);
        if (v == 0 || v > max) {
            v = s.fallback;
            store.WriteNumber(cfg::kDownloadKey, s.name, v);
        }
        return v;
    };
    block_size = static_cast<uint16_t>(read(cfg::kBlockSize, kMaxBlockSize));
    timeout_setting = read(cfg::kTimeout, UINT32_MAX);
}

void SendToReceiver(Receiver& r, const void* data, size_t n) {
    {
        std::lock_guard<std::recursive_mutex> guard(r.reply.lock());
        r.reply.Clear();
    }
    r.Write(data, static_cast<uint32_t>(n));
}

void SendControlByte(Receiver& r, uint8_t control) {
    SendToReceiver(r, &control, 1);
}

// ---- ending ----------------------------------------------------------------------------------

void EndTransfer(TransferSession& s) {
    Server& server = s.server;
    // Held to the end of this function only: a finished session waits for its thread to be
    // joined, and must not keep the receiver's port open meanwhile.
    const std::shared_ptr<Receiver> primary = s.primary;
    ReceiverTable& table = Receivers(server);
    bool restore = false;
    {
        std::lock_guard<platform::RecursiveLock> guard(server.receiver_table_lock());
        Attachment* a = s.attachment.get();
        // The slot may hold another receiver by now (closed and opened again): leave that alone.
        if (table.slot(s.receiver_number) == s.primary.get()) {
            s.primary->transfer = 0;
            // Back to what the client asked for when it opened the receiver.
            s.primary->locked = a != nullptr && a->held && a->exclusive ? 1 : 0;
            restore = s.primary->kind != LinkKind::kTcp && s.primary->stop == 0;
        }
        if (a != nullptr && a->transfer.get() == &s) a->transfer.reset();
    }
    s.primary->input_mode = InputMode::kParse;
    std::unique_ptr<Receiver> second;
    std::unique_ptr<FtpClient> ftp;
    {
        std::lock_guard<std::mutex> parts(s.parts_lock);
        second = std::move(s.second);
        ftp = std::move(s.ftp);
        s.primary.reset();
    }
    ftp.reset();  // says QUIT unless the dialogue failed
    second.reset();
    if (restore) table.ResendOutput(*primary);
    s.attachment.reset();
    s.data_socket.Cleanup();
    s.listening_socket.Cleanup();
    s.file.reset();
    s.block.reset();
}

// ---- the service -----------------------------------------------------------------------------

TransferService::~TransferService() {
    StopAll();
}

bool TransferService::Launch(const std::shared_ptr<TransferSession>& s,
                             std::function<void(TransferSession&)> body, std::string* error) {
    Reap();
    std::lock_guard<std::mutex> guard(mu_);
    // The service's reference outlives the thread: the session is never released on it.
    TransferSession* raw = s.get();
    if (!s->thread.Start(
            [raw, body = std::move(body)] {
                body(*raw);
                // The receiver is restored before the client hears the end, so that its next
                // request finds it free.
                EndTransfer(*raw);
                Bump(raw->server.metrics().transfers_ended);
                raw->SendToClient(raw->result);
                raw->ended.Set();
            },
            error)) {
        return false;
    }
    running_.push_back(s);
    return true;
}

void TransferService::RequestCancel(TransferSession& s) {
    s.cancel = true;
    s.cancelled.Set();
    std::lock_guard<std::mutex> parts(s.parts_lock);
    if (Receiver* link = s.second ? s.second.get() : s.primary.get()) link->raw_input_event.Set();
    s.data_socket.Cleanup();
    s.listening_socket.Cleanup();
}

void TransferService::AwaitEnd(const std::shared_ptr<TransferSession>& s) {
    if (!s || s->thread.IsCurrent()) return;
    if (!s->ended.Wait(kEndWaitMs)) server_.log().WriteLine("ER:Kill thread Download");
}

void TransferService::Reap() {
    std::vector<std::shared_ptr<TransferSession>> done;
    {
        std::lock_guard<std::mutex> guard(mu_);
        for (auto it = running_.begin(); it != running_.end();) {
            if ((*it)->ended.IsSet()) {
                done.push_back(std::move(*it));
                it = running_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& s : done) s->thread.Join();
}

void TransferService::StopAll() {
    std::vector<std::shared_ptr<TransferSession>> all;
    {
        std::lock_guard<std::mutex> guard(mu_);
        all.swap(running_);
    }
    for (auto& s : all) RequestCancel(*s);
    for (auto& s : all) s->thread.Join();
}

TransferService& InstallTransfers(Server& server) {
    auto service = std::make_shared<TransferService>(server);
    TransferService& t = *service;
    server.set_transfer_service(std::move(service));
    ReceiverTable& table = Receivers(server);
    table.cancel_transfer = [](Attachment& a) {
        if (a.transfer) TransferService::RequestCancel(*a.transfer);
    };
    table.await_transfer = [&t](const std::shared_ptr<TransferSession>& s) { t.AwaitEnd(s); };
    ServerHooks& hooks = server.hooks();
    hooks.end_transfers = [](ClientSession& s) { CloseLoadFiles(s); };
    hooks.at_stop.push_back([&t] { t.StopAll(); });
    return t;
}

TransferService& Transfers(Server& server) {
    return *server.transfer_service();
}

}  // namespace orvana
