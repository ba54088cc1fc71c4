#include "ntrip/mountpoint_feed.h"

#include <algorithm>
#include <mutex>

#include "core/client_session.h"
#include "core/login.h"
#include "core/request_client.h"
#include "core/request_table.h"
#include "core/server.h"
#include "core/server_frames.h"

namespace orvana::ntrip {
namespace {

constexpr uint8_t kHandle = 1;
constexpr size_t kFrameHead = 11;   // length, type, handle, code
constexpr size_t kFrameExtra = 16;  // the head, the zero byte and the check sum

}  // namespace

std::string DataPayloads(const std::vector<uint8_t>& frames) {
    std::string out;
    const char* p = reinterpret_cast<const char*>(frames.data());
    for (size_t at = 0; at + kFrameExtra <= frames.size();) {
        const size_t total = ParseHexField(p + at, 4);
        if (total < kFrameExtra || total > frames.size() - at) break;
        const unsigned type = ParseHexField(p + at + 4, 3);
        if (type >= frame_type::kFirstData && type <= frame_type::kLastData)
            out.append(p + at + kFrameHead, total - kFrameExtra);
        at += total;
    }
    return out;
}

MountpointFeed::MountpointFeed(Server& server, MountpointConfig config, Publish publish)
    : server_(server), config_(std::move(config)), publish_(std::move(publish)) {}

MountpointFeed::~MountpointFeed() {
    Close();
}

bool MountpointFeed::Call(std::string_view line, uint8_t handle, std::string* why) {
    std::string_view args;
    const RequestEntry* entry = FindRequest(line, &args);
    if (entry == nullptr) {
        *why = "ER:Unknown type request";
        return false;
    }
    // A request passed on whole to another server (a receiver through a gate) is read from the
    // receive buffer, as a remote client's would be.
    const std::string frame = BuildRequestFrame(line, handle);
    if (frame.size() <= ClientSession::kReceiveBufferSize) {
        std::copy(frame.begin(), frame.end(), client_->receive_buffer.begin());
        client_->receive_buffer[frame.size()] = 0;
        client_->frame_length = static_cast<uint16_t>(frame.size() - 6);
    }
    client_->reply = "RE:OK.";
    RunRequest(*entry, server_, args, *client_, handle);
    if (client_->reply.compare(0, 2, "RE") == 0) return true;
    *why = client_->reply;
    return false;
}

bool MountpointFeed::Open(std::string* why) {
    Close();
    client_ = server_.clients().AllocateSession(0);
    if (!client_) {
        *why = "ER:Don't have place for client";
        return false;
    }
    {
        std::lock_guard<platform::RecursiveLock> guard(server_.clients().lock());
        client_->internal = true;
        client_->remote = false;
    }
    // Frames reach the sink only once the receiver is attached, after this.
    Publish publish = publish_;
    client_->frame_sink = [publish](const SharedBytes& frames) {
        std::string payloads = DataPayloads(*frames);
        if (!payloads.empty())
            publish(std::make_shared<const std::vector<uint8_t>>(payloads.begin(), payloads.end()));
        return true;
    };
    const std::string login =
        std::string("OpenUsr ") + kNtripUser + " " + kSystemPassword + " NTRIP/" + config_.name;
    bool ok = Call(login, 0, why) && Call("OpenRcv " + config_.receiver, kHandle, why);
    receiver_open_ = ok;
    for (size_t i = 0; ok && i < config_.messages.size(); ++i)
        ok = Call("Attach " + config_.messages[i], kHandle, why);
    if (!ok) Close();
    return ok;
}

void MountpointFeed::Close() {
    if (!client_) return;
    std::string why;
    if (receiver_open_) Call("CloseRcv", kHandle, &why);
    receiver_open_ = false;
    server_.ReleaseSession(client_->slot_index);
    client_.reset();
}

}  // namespace orvana::ntrip
