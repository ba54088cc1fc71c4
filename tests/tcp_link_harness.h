#pragma once
// What the TCP link tests share: an orvanasim TCP receiver on a free port, the store entries of
// a receiver reached through it (an interface with its Port, CheckLogin and Password), a relay
// that can break the connection with a reset, and the server run inside the test's process.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/config_keys.h"
#include "core/config_store.h"
#include "core/server.h"
#include "platform/net.h"
#include "platform/subprocess.h"
#include "receivers/receiver_table.h"
#include "tests/server_harness.h"
#include "tests/support/temp_store.h"

namespace orvana::test {

class SimReceiver {
  public:
    ~SimReceiver() { Stop(); }
    // Every message numbered, so that a gap shows a lost container; false: the real RTCM and
    // NMEA messages.
    bool numbered = true;
    // Starts `orvanasim --tcp PORT EXTRA...` (0: a free port); false when it did not come up
    // listening.
    bool Start(const std::vector<std::string>& extra = {}, uint16_t port = 0) {
        std::vector<std::string> argv = {ProgramPath("orvanasim"), "--tcp", std::to_string(port)};
        if (numbered) argv.push_back("--numbered");
        argv.insert(argv.end(), extra.begin(), extra.end());
        std::string error;
        if (!process_.Start(argv, &error)) {
            ADD_FAILURE() << error;
            return false;
        }
        auto line = process_.WaitForLine("Listening on ", 10000);
        if (!line) return false;
        port_ = static_cast<uint16_t>(std::stoul(line->substr(line->rfind(':') + 1)));
        return true;
    }
    // SIGTERM: the simulator closes its connection in an orderly way and ends.
    void Stop() {
        if (process_.pid() <= 0 || !process_.Running()) return;
        process_.Signal(18);  // SIGCONT, in case it was frozen
        process_.Signal(15);
        if (!process_.Wait(5000)) process_.Signal(9);
    }
    // SIGSTOP: the connection stays up but nothing is answered any more. Returns once the
    // process has stopped (the signal takes effect asynchronously).
    bool Freeze() {
        process_.Signal(19);
        const std::string stat = "/proc/" + std::to_string(process_.pid()) + "/stat";
        const uint32_t start = platform::TickCount();
        while (platform::TickCount() - start < 5000) {
            const std::string text = ReadFile(stat);
            const size_t paren = text.rfind(')');
            if (paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'T')
                return true;
            platform::SleepMs(10);
        }
        return false;
    }
    uint16_t port() const { return port_; }
    platform::Subprocess& process() { return process_; }

  private:
    platform::Subprocess process_;
    uint16_t port_ = 0;
};

// Receiver `name` on interface `interface_text` with the interface's settings.
inline void AddTcpReceiver(const ConfigStore& store, const std::string& name,
                           const std::string& interface_text, uint32_t port,
                           std::optional<std::string> password = std::nullopt) {
    const std::string receiver = std::string(cfg::kReceiversKey) + name;
    store.WriteText(receiver, cfg::kInterface.name, interface_text);
    store.WriteFlag(receiver, cfg::kEnableRcv.name, true);
    const std::string key = std::string(cfg::kInterfaceKey) + interface_text;
    store.WriteNumber(key, cfg::kPort.name, port);
    store.WriteFlag(key, cfg::kCheckLogin.name, password.has_value());
    if (password) store.WriteText(key, cfg::kInterfacePassword.name, *password);
}

// A hop on the loopback between the server and a receiver: forwards both ways, and on demand
// slips bytes in towards the server or breaks the server's connection with a reset.
class TcpRelay {
  public:
    ~TcpRelay() {
        quit_ = true;
        if (thread_.joinable()) thread_.join();
        for (platform::SocketFd fd : {listener_, server_side_, receiver_side_})
            if (fd != platform::kNoSocket) platform::CloseSocket(fd);
    }
    // Listens on a free port for one connection, which it joins to `receiver_port`.
    bool Start(uint16_t receiver_port) {
        platform::Ipv4Endpoint at;
        platform::ParseDotted("127.0.0.1", &at.address);
        listener_ = platform::OpenStreamSocket();
        if (listener_ == platform::kNoSocket || !platform::Bind(listener_, at) ||
            !platform::Listen(listener_, 1) || !platform::LocalEndpoint(listener_, &at))
            return false;
        port_ = at.port;
        thread_ = std::thread([this, receiver_port] { Run(receiver_port); });
        return true;
    }
    uint16_t port() const { return port_; }
    // False when the server is not connected (any more).
    bool Inject(const std::string& bytes) {
        std::lock_guard<std::mutex> g(mu_);
        return server_side_ != platform::kNoSocket &&
               platform::SendAll(server_side_, bytes.data(), bytes.size(), 2000) ==
                   static_cast<long>(bytes.size());
    }
    // Closes the server's connection with a reset instead of the orderly end, and returns once
    // the server's end has taken it: the reset travels on its own, later under load.
    bool Reset() {
        {
            std::lock_guard<std::mutex> g(mu_);
            if (server_side_ == platform::kNoSocket) return false;
            if (!platform::CloseSocketWithReset(server_side_)) return false;
            server_side_ = platform::kNoSocket;
        }
        const uint32_t start = platform::TickCount();
        while (ServerEndConnected()) {
            if (platform::TickCount() - start >= 10000) return false;
            platform::SleepMs(5);
        }
        return true;
    }

  private:
    void Run(uint16_t receiver_port) {
        while (!quit_) {
            if (!joined_) {
                if (platform::WaitReadable(listener_, 20) <= 0) continue;
                platform::Ipv4Endpoint from, to;
                const platform::SocketFd fd = platform::Accept(listener_, &from);
                if (fd == platform::kNoSocket) continue;
                platform::ParseDotted("127.0.0.1", &to.address);
                to.port = receiver_port;
                receiver_side_ = platform::OpenStreamSocket();
                if (!platform::Connect(receiver_side_, to, 5000)) {
                    platform::CloseSocket(fd);
                    return;
                }
                std::lock_guard<std::mutex> g(mu_);
                server_side_ = fd;
                server_port_ = from.port;
                joined_ = true;
                continue;
            }
            if (!Pump(true) || !Pump(false)) return;
        }
    }
    // Whether the system still lists the server's end of the connection (its own port to the
    // relay's; the relay's end went with the reset).
    bool ServerEndConnected() const {
        char local[16], remote[16];
        std::snprintf(local, sizeof local, "0100007F:%04X", server_port_.load());
        std::snprintf(remote, sizeof remote, "0100007F:%04X", port_);
        const std::string table = ReadFile("/proc/net/tcp");
        size_t at = 0;
        for (size_t end; (end = table.find('\n', at)) != std::string::npos; at = end + 1) {
            std::istringstream line(table.substr(at, end - at));
            std::string slot, from, to;
            line >> slot >> from >> to;
            if (from == local && to == remote) return true;
        }
        return false;
    }
    // One short wait for the bytes of one side, passed on to the other; false once the
    // receiver's side has gone. After a reset the receiver's bytes are dropped.
    bool Pump(bool towards_server) {
        platform::SocketFd from = receiver_side_;
        if (!towards_server) {
            std::lock_guard<std::mutex> g(mu_);
            from = server_side_;
        }
        if (from == platform::kNoSocket) {
            platform::SleepMs(10);
            return true;
        }
        if (platform::WaitReadable(from, 10) == 0) return true;
        std::lock_guard<std::mutex> g(mu_);
        // The server's side may have been reset (and its number reused) during the wait.
        if (!towards_server && from != server_side_) return true;
        char buffer[4096];
        const long n = platform::ReceiveOnce(from, buffer, sizeof buffer, false);
        if (n <= 0) {
            if (towards_server) return false;
            platform::CloseSocket(server_side_);
            server_side_ = platform::kNoSocket;
            return true;
        }
        const platform::SocketFd to = towards_server ? server_side_ : receiver_side_;
        return to == platform::kNoSocket ||
               platform::SendAll(to, buffer, static_cast<size_t>(n), 2000) == n;
    }

    platform::SocketFd listener_ = platform::kNoSocket;
    platform::SocketFd server_side_ = platform::kNoSocket;  // GUARDED_BY(mu_)
    platform::SocketFd receiver_side_ = platform::kNoSocket;
    std::mutex mu_;
    bool joined_ = false;  // relay thread only
    std::atomic<uint16_t> server_port_{0};
    std::atomic<bool> quit_{false};
    uint16_t port_ = 0;
    std::thread thread_;
};

// The server inside the test's process, on a store and home of its own with the user "ann", for
// tests that reach into it: the back-off's clock, the receiver table's seams, a link of its own.
class LocalServer {
  public:
    LocalServer() {
        ConfigStore& s = store();
        s.WriteText(cfg::kActiveKey, cfg::kPortServer.name, "0");
        const std::string user = std::string(cfg::kUsersKey) + "ann";
        s.WriteFlag(user, cfg::kEnableUser.name, true);
        s.WriteText(user, cfg::kUserPassword.name, "secret");
        s.WriteNumber(user, cfg::kCountUsr.name, 4);
    }
    ~LocalServer() { Stop(); }
    ConfigStore& store() { return *home_.store; }
    // `options` with this server's home; nullptr when it did not start.
    // `before_start` installs what must be in place before the server's threads run.
    Server* Start(ServerOptions options = {},
                  const std::function<void(Server&)>& before_start = nullptr) {
        options.home = home_.dir.path();
        options.shutdown_pause_ms = 200;
        server_ = std::make_unique<Server>(store(), options);
        InstallReceivers(*server_);
        if (before_start) before_start(*server_);
        if (!server_->StartServer("")) {
            ADD_FAILURE() << "the server did not start";
            server_.reset();
        }
        return server_.get();
    }
    void Stop() {
        if (server_) server_->StopServer();
        server_.reset();
    }
    Server& server() { return *server_; }
    ReceiverTable& receivers() { return Receivers(*server_); }
    std::string LogText() const { return EventLogText(home_.dir.path()); }
    bool WaitForLog(const std::string& needle, uint32_t ms = 10000) const {
        return WaitUntil([&] { return LogText().find(needle) != std::string::npos; }, ms);
    }

  private:
    TempStore home_;
    std::unique_ptr<Server> server_;
};

inline std::string Text(const std::optional<Frame>& f) {
    return f ? f->data : "(no reply)";
}

inline std::unique_ptr<TestClient> LoggedIn(uint16_t port, const std::string& user = "ann") {
    auto c = std::make_unique<TestClient>();
    EXPECT_TRUE(c->Connect(port));
    EXPECT_EQ(c->Ask("OpenUsr " + user + " secret tests"), "RE:OK.");
    return c;
}

// The next frame of `type` within `seconds`, skipping others (keep-alives, replies).
inline std::optional<Frame> FrameOfType(TestClient& c, unsigned type, int seconds) {
    const uint32_t start = platform::TickCount();
    while (platform::TickCount() - start < static_cast<uint32_t>(seconds) * 1000u) {
        auto f = c.ReadFrame(1);
        if (f && f->type == type) return f;
    }
    return std::nullopt;
}

}  // namespace orvana::test
