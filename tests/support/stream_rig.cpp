#include "tests/support/stream_rig.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/server_frames.h"
#include "platform/clock.h"
#include "receivers/command_engine.h"

namespace orvana::test {

std::string Container(uint8_t index, const std::string& payload) {
    char head[8];
    std::snprintf(head, sizeof head, ">>%03X", static_cast<unsigned>(payload.size() + 3) & 0xFFF);
    std::string c = head;
    c.push_back(static_cast<char>(index));
    c += payload;
    char tail[4];
    std::snprintf(tail, sizeof tail, "%02X", ReceiverChecksum(c.data(), c.size()));
    return c + tail;
}

StreamRig::StreamRig(QueueBounds bounds) {
    log_.Open();
    std::string error;
    writer_.Start(bounds, &error);
    messages_.Build([](const char* command, std::string* reply) {
        *reply = std::string(command) == "list,/msg/jps" ? "RE010{RT,PO,VE,PV,SI}" : "RE002{}";
        return true;
    });
    listener_.Create(1);
    const platform::Ipv4Endpoint at{0x7F000001, 0};  // 127.0.0.1
    listener_.Bind(at);
    listener_.Listen(200);
    port_ = listener_.LocalEndpoint().port;

    ReceiverContext c;
    c.log = &log_;
    c.messages = &messages_;
    c.receiver_name = "Base1";
    c.deliver = [](Receiver& r, const uint8_t* container, size_t size) {
        DeliverContainer(r, container, size);
    };
    c.send_delivered = [](Receiver& r) { SendQueuedFrames(r); };
    receiver_ = std::make_unique<NullLink>(c, LinkKind::kCom);
}

StreamRig::~StreamRig() {
    receiver_.reset();
    for (Client& c : clients_) {
        writer_.Remove(*c.session, 0);
        c.session->Cleanup();
    }
    writer_.Stop();
}

StreamRig::Client* StreamRig::AddClient(const std::string& request, uint8_t handle) {
    Client c;
    c.peer = std::make_unique<CBlockingSocket>();
    c.peer->Create(1);
    const platform::Ipv4Endpoint at{0x7F000001, port_};  // 127.0.0.1
    c.peer->Connect(at, 5000);
    c.session = std::make_shared<ClientSession>(static_cast<uint16_t>(clients_.size() + 1));
    platform::Ipv4Endpoint peer;
    if (!listener_.Accept(*c.session, &peer, true) || !writer_.Add(c.session)) return nullptr;
    c.session->has_handle_table = true;
    c.session->handle_count = 4;
    c.session->handle_table.resize(9);
    c.attachment = std::make_shared<Attachment>();
    c.attachment->handle = handle;
    c.attachment->receiver_name = "Base1";
    c.attachment->client = c.session;
    c.attachment->client_text = "client" + std::to_string(clients_.size() + 1) + "/rig()";
    c.session->handle_table[handle] = c.attachment;
    c.attachment->held = true;
    {
        std::lock_guard<platform::RecursiveLock> att(receiver_->attachment_lock);
        if (!receiver_->output.AddMessages(c.attachment.get(), request)) return nullptr;
    }
    clients_.push_back(std::move(c));
    return &clients_.back();
}

void StreamRig::Feed(const std::string& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
        const size_t n = std::min(bytes.size() - at, Receiver::kInputSize);
        std::memcpy(receiver_->input_area.data(), bytes.data() + at, n);
        receiver_->HandleInput(n);
        at += n;
    }
}

std::optional<std::string> StreamRig::ReadFrame(CBlockingSocket& peer, uint32_t ms) {
    std::string frame;
    const uint32_t start = platform::TickCount();
    size_t want = 4;
    while (frame.size() < want) {
        if (platform::TickCount() - start >= ms) return std::nullopt;
        char buf[8192];
        const size_t room = std::min(want - frame.size(), sizeof buf);
        const int n = peer.Receive(buf, static_cast<int>(room), 1);
        if (n == -2) continue;
        if (n <= 0) return std::nullopt;
        frame.append(buf, static_cast<size_t>(n));
        if (frame.size() >= 4 && want == 4) {
            want = ParseHexField(frame.data(), 4);
            if (want < 16) return std::nullopt;
        }
    }
    return frame;
}

}  // namespace orvana::test
