#pragma once
// What the TCP link tests share: an orvanasim TCP receiver on a free port, and the store entries
// of a receiver reached through it (an interface with its Port, CheckLogin and Password).

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/config_keys.h"
#include "core/config_store.h"
#include "platform/subprocess.h"
#include "tests/server_harness.h"

namespace orvana::test {

class SimReceiver {
  public:
    ~SimReceiver() { Stop(); }
    // Starts `orvanasim --tcp PORT EXTRA...` (0: a free port); false when it did not come up
    // listening.
    bool Start(const std::vector<std::string>& extra = {}, uint16_t port = 0) {
        std::vector<std::string> argv = {ProgramPath("orvanasim"), "--tcp", std::to_string(port)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        std::string error;
        if (!process_.Start(argv, &error)) {
            ADD_FAILURE() << error;
            return false;
        }
        auto line = process_.WaitForLine("Listening on 127.0.0.1:", 10000);
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

inline size_t Occurrences(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

inline std::string Text(const std::optional<Frame>& f) {
    return f ? f->data : "(no reply)";
}

inline std::unique_ptr<TestClient> LoggedIn(uint16_t port, const std::string& user = "ann") {
    auto c = std::make_unique<TestClient>();
    EXPECT_TRUE(c->Connect(port));
    EXPECT_EQ(Text(c->Call("OpenUsr " + user + " secret tests")), "RE:OK.");
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
