#include "links/gate_link.h"

#include <cstdio>
#include <cstdlib>

#include "core/config_keys.h"
#include "core/config_store.h"
#include "core/event_log.h"
#include "core/request_client.h"

namespace orvana {
namespace {

constexpr int kReadWaitSeconds = 9999;
// A receiver message is at most 4100 bytes; the frame around it adds 16.
constexpr size_t kMaxGateFrame = 8192 + 16;
constexpr const char* kNoReply = "ER:Receiver reply timeout!";
// Data frames: (message group + 1) * 256 + message index + 1, groups 0 to 3.
constexpr uint16_t kFirstDataType = 0x100;
constexpr uint16_t kLastDataType = 0x4FF;

}  // namespace

GateLink::GateLink(ReceiverContext context, const std::string& addr, const std::string& user_line,
                   const std::string& receiver_line)
    : Receiver(std::move(context), LinkKind::kGate),
      user_line_(user_line),
      receiver_line_(receiver_line) {
    address = addr;
    const std::string port_text =
        this->context().store->ReadText(cfg::kActiveKey, cfg::kPortServer.name, "8000");
    const unsigned long port = std::strtoul(port_text.c_str(), nullptr, 10);
    try {
        socket_.Create(1);
        socket_.SetReceiveBuffer(kLinkReceiveBuffer);
        if (port == 0 || port > 0xffff) {
            platform::SetLastSocketError(10049);
            throw CBlockingSocketException("Connect");
        }
        socket_.Connect(CBlockingSocket::GetHostByName(addr, static_cast<uint16_t>(port)));
        std::string why;
        if (!reader_.Start([this] { ReaderThread(); }, &why))
            throw CBlockingSocketException("TCP Thread aborted!");
    } catch (const CBlockingSocketException& e) {
        error_text = "GATE " + addr;
        e.Report(error_text, &log());
        socket_.Cleanup();
        return;
    }
    channel_ = 0;
    if (!Request("OpenUsr " + user_line)) {
        error_text = kNoReply;
        return;
    }
    channel_ = 1;
    if (Request("OpenRcv " + receiver_line)) {
        channel_ = reply_handle_.load();
    } else {
        error_text = reply.Text();
        if (error_text.empty()) error_text = kNoReply;
    }
}

GateLink::~GateLink() {
    std::map<uint8_t, std::shared_ptr<GateLink>> streams;
    {
        std::lock_guard<std::mutex> guard(streams_lock_);
        streams.swap(streams_);
    }
    streams.clear();
    stop = 1;
    socket_.Cleanup();
    reader_.Join();
}

uint32_t GateLink::Write(const void* data, uint32_t length) {
    char header[8];
    std::snprintf(header, sizeof header, "%04x%02x", static_cast<unsigned>(length & 0xFFFF),
                  static_cast<unsigned>(channel_.load()));
    std::string frame(header);
    frame.append(static_cast<const char*>(data), length);
    const int sent = socket_.Send(frame.data(), static_cast<int>(frame.size()));
    if (sent < 1) {
        ReportSocketError(&log(), "");
        return 0;
    }
    return static_cast<uint32_t>(sent);
}

bool GateLink::Request(const std::string& text) {
    reply_event.ResetEvent();
    reply_code_ = 0;
    awaiting_reply = 1;
    const bool sent = Write(text.data(), static_cast<uint32_t>(text.size())) > 0;
    // Bounded: a server that takes the connection and never answers must not hold the opening
    // client for ever.
    const bool replied = sent && reply_event.Wait(kRequestWaitMs) && stop == 0;
    awaiting_reply = 0;
    return replied && reply_code_ != 0;
}

uint8_t GateLink::OpenClientStream(std::weak_ptr<ClientSession> client, uint8_t handle,
                                   std::string* refusal) {
    uint8_t number = 1;
    {
        // The number is taken at once (its link comes later), so two opens never share it.
        std::lock_guard<std::mutex> guard(streams_lock_);
        while (number != 0 && streams_.count(number) != 0) ++number;
        if (number == 0) {
            *refusal = "ER:Can't find place for messages";
            return 0;
        }
        streams_[number] = nullptr;
    }
    ReceiverContext c = context();
    c.interface_name = interface_name + "/" + std::to_string(number);
    c.receiver_name.clear();  // the receiver's counts are the gate's own, not its streams'
    auto stream = std::make_shared<GateLink>(std::move(c), address, user_line_, receiver_line_);
    {
        std::lock_guard<std::mutex> guard(stream->route_lock_);
        stream->route_ = ClientRoute{std::move(client), handle};
    }
    std::lock_guard<std::mutex> guard(streams_lock_);
    if (!stream->error_text.empty()) {
        *refusal = stream->error_text;
        streams_.erase(number);
        return 0;
    }
    streams_[number] = std::move(stream);
    return number;
}

std::shared_ptr<GateLink> GateLink::FindStream(uint8_t number) {
    std::lock_guard<std::mutex> guard(streams_lock_);
    auto found = streams_.find(number);
    return found == streams_.end() ? nullptr : found->second;
}

bool GateLink::PassOnStream(uint8_t number, const std::string& frame, std::string* reply_text) {
    const std::shared_ptr<GateLink> stream = FindStream(number);
    if (!stream || stream->stop != 0) {
        *reply_text = "ER:Connection to receiver lost";
        return false;
    }
    std::lock_guard<platform::RecursiveLock> command(stream->command_lock);
    const bool done = stream->Request(frame);
    *reply_text = stream->reply.Text();
    if (reply_text->empty()) *reply_text = kNoReply;
    return done;
}

void GateLink::MuteClientStream(uint8_t number) {
    const std::shared_ptr<GateLink> stream = FindStream(number);
    if (!stream) return;
    std::lock_guard<std::mutex> guard(stream->route_lock_);
    stream->route_ = ClientRoute{};
}

void GateLink::CloseClientStream(uint8_t number) {
    std::shared_ptr<GateLink> stream;
    {
        std::lock_guard<std::mutex> guard(streams_lock_);
        auto found = streams_.find(number);
        if (found == streams_.end()) return;
        stream = std::move(found->second);
        streams_.erase(found);
    }
}

void GateLink::ReaderThread() {
    log().WriteRaw(interface_name + " Link thread started");
    ServerFrameReader frames;
    // The other server's largest frame for a receiver: a container's payload in a data frame.
    frames.set_max_frame(kMaxGateFrame);
    while (stop == 0) {
        const int n = socket_.Receive(input_area.data(), static_cast<int>(input_area.size()),
                                      kReadWaitSeconds);
        if (n == -2) continue;
        if (n <= 0) {
            // The other server went away (or this link is being destroyed): the receiver is
            // given up, and its clients hear of it.
            if (stop == 0) ReportSocketError(&log(), "");
            RequestStop();
            break;
        }
        frames.Append(reinterpret_cast<const char*>(input_area.data()), static_cast<size_t>(n));
        for (;;) {
            ServerFrame f;
            std::string why;
            const auto got = frames.Next(&f, &why);
            if (got == ServerFrameReader::Result::kNeedMore) break;
            if (got == ServerFrameReader::Result::kCorrupt) {
                log().WriteLine("ER:" + interface_name + " frame dropped: " + why);
                continue;
            }
            OnFrame(f);
        }
        if (frames.buffered() > 0) {
            char line[32];
            std::snprintf(line, sizeof line, "--Sep=%zu--", frames.buffered());
            log().WriteRaw(line);
        }
    }
    log().WriteRaw("Client link thread terminated\n");
}

void GateLink::OnFrame(const ServerFrame& f) {
    if (f.IsReply()) {
        // A reply nobody waits for any more (its sender gave up) is dropped.
        if (awaiting_reply == 0) return;
        reply.Assign(f.data.data(), f.data.size());
        reply_code_ = f.code;
        reply_handle_ = f.handle;
        reply_event.Set();
        return;
    }
    // A passed-on transfer's messages belong to the client that asked for it.
    if (f.type == 0x800 || f.type == 0xB00) {
        std::weak_ptr<ClientSession> client;
        uint8_t handle = 0;
        {
            std::lock_guard<std::mutex> guard(relay_lock);
            client = relay_client;
            handle = relay_handle;
        }
        if (context().send_to_client) context().send_to_client(client, handle, f.type, f.data);
        return;
    }
    // On a client's own stream: that client's data messages.
    if (f.type >= kFirstDataType && f.type <= kLastDataType) {
        ClientRoute route;
        {
            std::lock_guard<std::mutex> guard(route_lock_);
            route = route_;
        }
        if (route.handle != 0 && context().send_to_client)
            context().send_to_client(route.client, route.handle, f.type, f.data);
        return;
    }
    // The other server lost the receiver: so has this one.
    if (f.type == frame_type::kConnectionLost || f.type == frame_type::kTerminated) {
        log().WriteLine(interface_name + " " + f.data);
        RequestStop();
    }
}

}  // namespace orvana
