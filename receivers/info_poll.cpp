#include "receivers/info_poll.h"

#include "core/config_keys.h"
#include "core/config_store.h"
#include "core/event_log.h"
#include "core/login.h"
#include "core/server.h"

namespace orvana {
namespace {

constexpr size_t kReplyHeader = 5;  // "RE012" before each script line's text
constexpr uint32_t kConnectLimitMs = 20000;

// The address a client of this server reaches it on: a server on every interface is asked on
// the loopback.
std::string OwnAddress(const Server& server) {
    const std::string& a = server.listen_address();
    return a.empty() || a == "0.0.0.0" ? std::string("127.0.0.1") : a;
}

}  // namespace

ReceiverInfo ParseInfoReply(std::string_view text) {
    ReceiverInfo info;
    std::string* fields[] = {&info.type, &info.id, &info.firmware};
    size_t filled = 0;
    while (!text.empty() && filled < std::size(fields)) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        *fields[filled++] =
            line.size() > kReplyHeader ? std::string(line.substr(kReplyHeader)) : std::string();
    }
    return info;
}

InfoPoll::InfoPoll(Server& server, std::string receiver,
                   std::function<void(const ReceiverInfo&)> done)
    : server_(server), receiver_(std::move(receiver)), done_(std::move(done)) {
    WriteSystemUser(server_, kDemonUser);
    std::string error;
    if (!thread_.Start([this] { Run(); }, &error)) {
        server_.log().WriteLine("ER:Info poll thread " + error);
        finished_ = true;
        if (done_) done_(ReceiverInfo{});
    }
}

InfoPoll::~InfoPoll() {
    {
        std::lock_guard<std::mutex> lock(connect_mu_);
        stopping_ = true;
        client_.Close();
    }
    thread_.Join();
    RemoveInfoPollUser(server_);
}

void InfoPoll::Run() {
    ReceiverInfo info;
    bool connected = false;
    {
        // The connection is made under the lock that closing it takes, so a close never falls
        // between the two and is lost; on the loopback the connect does not wait.
        std::lock_guard<std::mutex> lock(connect_mu_);
        connected = !stopping_ &&
                    client_.Connect(OwnAddress(server_), server_.ListenPort(), kConnectLimitMs);
    }
    if (connected) {
        // Only a reply that says the step worked lets the next one run: an error reply would
        // otherwise put its text into the fields.
        auto login = client_.Login(kDemonUser, kSystemPassword, "SysService", kReplyWaitMs);
        if (login && RequestClient::LoginAccepted(*login)) {
            auto opened = client_.Call("OpenRcv " + receiver_, 1, kReplyWaitMs);
            if (opened && opened->Succeeded()) {
                auto script = client_.Call(kInfoPollScript, 1, kReplyWaitMs);
                if (script && script->Succeeded()) info = ParseInfoReply(script->data);
            }
        }
        client_.Call("CloseUsr", 0, kReplyWaitMs);
    } else if (!client_.error().empty()) {
        server_.log().WriteLine("ER:Info poll of " + receiver_ + " " + client_.error());
    }
    client_.Close();
    finished_ = true;
    if (done_) done_(info);
}

void RemoveInfoPollUser(Server& server) {
    const std::string key = server.users_path() + kDemonUser;
    if (server.store().KeyExists(key)) server.store().DeleteKey(key);
}

}  // namespace orvana
