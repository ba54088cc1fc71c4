#pragma once
// What the server tests share: a server process on a temporary home and store, bound to a free
// port that it prints, and a client that speaks the request protocol over a real socket. Every
// wait is bounded.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/blocking_socket.h"
#include "core/config_keys.h"
#include "core/config_store.h"
#include "core/server_frames.h"
#include "platform/clock.h"
#include "platform/hive.h"
#include "tests/support/temp_store.h"

namespace orvana::test {

struct Frame {
    unsigned length = 0, type = 0, handle = 0, code = 0;
    std::string data;  // without the zero byte
    std::string raw;
    uint32_t checksum = 0;
};

inline std::string PlainRequest(std::string_view text, uint8_t handle = 0) {
    char header[8];
    std::snprintf(header, sizeof header, "%04x%02x", static_cast<unsigned>(text.size()), handle);
    return std::string(header) + std::string(text);
}

class TestClient {
  public:
    bool Connect(uint16_t port, const std::string& host = "127.0.0.1") {
        try {
            socket_ = std::make_unique<CBlockingSocket>();
            socket_->Create(1);
            platform::Ipv4Endpoint at;
            platform::ParseDotted(host, &at.address);
            at.port = port;
            socket_->Connect(at, 5000);
            return true;
        } catch (const CBlockingSocketException& e) {
            ADD_FAILURE() << "connect to " << host << ":" << port << " failed: " << e.error();
            return false;
        }
    }
    bool SendRaw(const std::string& bytes) {
        return socket_->Send(bytes.data(), static_cast<int>(bytes.size())) ==
               static_cast<int>(bytes.size());
    }
    bool Request(std::string_view text, uint8_t handle = 0) {
        return SendRaw(PlainRequest(text, handle));
    }
    // The next frame, or nullopt when none came whole within the time (what came of it is kept
    // for the next call).
    std::optional<Frame> ReadFrame(int seconds = 5) {
        if (!Fill(4, seconds)) return std::nullopt;
        const unsigned total = ParseHexField(pending_.data() + at_, 4);
        if (total < 16) return std::nullopt;
        if (!Fill(total, seconds)) return std::nullopt;
        Frame f;
        f.raw = pending_.substr(at_, total);
        at_ += total;
        f.length = total;
        f.type = ParseHexField(f.raw.data() + 4, 3);
        f.handle = ParseHexField(f.raw.data() + 7, 2);
        f.code = ParseHexField(f.raw.data() + 9, 2);
        f.data = f.raw.substr(11, total - 16);
        const unsigned char* b = reinterpret_cast<const unsigned char*>(f.raw.data()) + total - 4;
        f.checksum = uint32_t{b[0]} | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) |
                     (uint32_t{b[3]} << 24);
        return f;
    }
    // Sends a request and returns its reply, skipping keep-alive frames.
    std::optional<Frame> Call(std::string_view text, uint8_t handle = 0, int seconds = 5) {
        if (!Request(text, handle)) return std::nullopt;
        return NextReply(seconds);
    }
    std::optional<Frame> NextReply(int seconds = 5) {
        for (;;) {
            auto f = ReadFrame(seconds);
            if (!f || f->type != 0x600) return f;
        }
    }
    // The reply's text, "(no reply)" when none came.
    std::string Ask(std::string_view text, uint8_t handle = 0, int seconds = 5) {
        auto f = Call(text, handle, seconds);
        return f ? f->data : "(no reply)";
    }
    // True when the server closes the connection within the time (bytes before that are read
    // and dropped).
    bool WaitClosed(int seconds) {
        pending_.clear();
        at_ = 0;
        const uint32_t start = platform::TickCount();
        char buf[4096];
        while (platform::TickCount() - start < static_cast<uint32_t>(seconds) * 1000u) {
            int n = socket_->Receive(buf, sizeof buf, 1);
            if (n == 0 || n == -1) return true;
        }
        return false;
    }
    CBlockingSocket& socket() { return *socket_; }

  private:
    // Until `size` unread bytes are buffered. Reads take what has come, up to 64 KB, so a
    // client under a flood of frames keeps up.
    bool Fill(size_t size, int seconds) {
        const uint32_t start = platform::TickCount();
        while (pending_.size() - at_ < size) {
            uint32_t spent = platform::TickCount() - start;
            if (spent >= static_cast<uint32_t>(seconds) * 1000u) return false;
            if (at_ > 0) {
                pending_.erase(0, at_);
                at_ = 0;
            }
            char buf[65536];
            int n = socket_->Receive(buf, sizeof buf, 1);
            if (n == -2) continue;
            if (n <= 0) return false;
            pending_.append(buf, static_cast<size_t>(n));
        }
        return true;
    }
    std::string pending_;
    size_t at_ = 0;  // the first unread byte of pending_
    std::unique_ptr<CBlockingSocket> socket_;
};

// A temporary home (or `home`, when given) with its store (configuration "Main", PortServer "0")
// and, once started, an orvanasrv process on it.
class ServerProcess {
  public:
    explicit ServerProcess(const std::string& home = "") : home_("orvanasrv.db", home) {
        store().WriteText(cfg::kActiveKey, cfg::kPortServer.name, "0");
    }
    // A sanitizer's report in the server fails the test that ran it, whether or not the test
    // looked at the server's exit.
    ~ServerProcess() {
        Stop();
        const std::string err = process_.Stderr();
        for (const char* report :
             {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:"})
            EXPECT_EQ(err.find(report), std::string::npos) << err;
    }

    ConfigStore& store() { return *home_.store; }
    const std::string& home() const { return home_.folder; }
    uint16_t port() const { return port_; }
    platform::Subprocess& process() { return process_; }
    // The program started: orvanasrv, or orvanaconsole, which takes the same command line.
    void set_program(std::string name) { program_ = std::move(name); }

    void AddUser(const std::string& name, const std::string& password, uint32_t count = 1,
                 const std::string& access = "ALL") {
        const std::string key = std::string(cfg::kUsersKey) + name;
        store().WriteFlag(key, cfg::kEnableUser.name, true);
        store().WriteText(key, cfg::kUserPassword.name, password);
        store().WriteNumber(key, cfg::kCountUsr.name, count);
        store().WriteText(key, cfg::kAccessRcv.name, access);
    }
    void AddReceiver(const std::string& name, bool enabled = true,
                     const std::string& interface_text = "TCP 127.0.0.1") {
        const std::string key = std::string(cfg::kReceiversKey) + name;
        store().WriteText(key, cfg::kInterface.name, interface_text);
        store().WriteFlag(key, cfg::kEnableRcv.name, enabled);
    }
    // The folder of COMn links the server is started with (--ports), made on first use.
    std::string Ports() {
        const std::string ports = home() + "/ports";
        std::filesystem::create_directories(ports);
        return ports;
    }

    // Starts the server and reads back its port; false when it did not come up listening.
    bool Start(std::vector<std::string> env = {}, std::vector<std::string> args = {},
               std::vector<std::string> prefix = {}) {
        if (!Launch(std::move(env), std::move(args), std::move(prefix))) return false;
        auto line = process_.WaitForLine("Listening on", 10000);
        if (!line) return false;
        port_ = static_cast<uint16_t>(std::stoul(line->substr(line->rfind(':') + 1)));
        return true;
    }
    // Starts the server process without waiting for its listener.
    bool Launch(std::vector<std::string> env = {}, std::vector<std::string> args = {},
                std::vector<std::string> prefix = {}) {
        std::vector<std::string> argv = prefix;
        argv.push_back(ProgramPath(program_));
        for (const char* a : {"--headless", "--home"}) argv.push_back(a);
        argv.push_back(home());
        argv.push_back("--time-server");
        argv.push_back("off");
        argv.insert(argv.end(), args.begin(), args.end());
        std::string error;
        if (!process_.Start(argv, &error, env)) {
            ADD_FAILURE() << error;
            return false;
        }
        return true;
    }
    // Everything the server printed so far.
    const std::string& Stdout() const { return process_.StdoutSoFar(); }
    // SIGTERM and the orderly shutdown; the exit status.
    std::optional<int> Stop() {
        if (process_.pid() <= 0 || !process_.Running()) return std::nullopt;
        process_.Signal(15);
        return process_.Wait(15000);
    }

    // All event log files of the home, in name order, concatenated.
    std::string LogText() const { return EventLogText(home()); }
    // Waits until the event log holds `needle`.
    bool WaitForLog(const std::string& needle, uint32_t ms = 5000) const {
        return WaitUntil([&] { return LogText().find(needle) != std::string::npos; }, ms);
    }
    // A client of the running server, logged in with `login` ("OpenUsr ann pw") when given.
    std::unique_ptr<TestClient> Client(const std::string& login = "") {
        auto c = std::make_unique<TestClient>();
        EXPECT_TRUE(c->Connect(port_));
        if (!login.empty()) {
            EXPECT_EQ(c->Ask(login), "RE:OK.") << login;
        }
        return c;
    }

  private:
    TempStore home_;
    platform::Subprocess process_;
    std::string program_ = "orvanasrv";
    uint16_t port_ = 0;
};

// The port of the server's "WHAT on port N" line (the caster, the metrics), waited for up to
// 10 s; 0 when it did not say.
inline uint16_t AnnouncedPort(const ServerProcess& server, const std::string& what) {
    const std::string tag = what + " on port ";
    WaitUntil([&] { return server.Stdout().find(tag) != std::string::npos; }, 10000);
    const std::string& out = server.Stdout();
    const size_t at = out.find(tag);
    return at == std::string::npos ? 0
                                   : static_cast<uint16_t>(std::stoul(out.substr(at + tag.size())));
}

}  // namespace orvana::test
