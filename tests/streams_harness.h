#pragma once
// What the data stream tests share: the server binary with the simulator on a pseudo-terminal
// linked as its COM1, and clients that keep the data frames arriving between their replies.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/subprocess.h"
#include "tests/server_harness.h"

namespace orvana::test {

// One data frame as the simulator's payload describes it.
struct DataFrame {
    unsigned type = 0, handle = 0;
    uint32_t sequence = 0;  // of its message, from 1 after each "dm"
    std::string name;       // "jps/RT"
    uint32_t arrived = 0;   // tick
    size_t length = 0, payload_length = 0;
    bool checksum_ok = false;
};

inline DataFrame ParseData(const Frame& f) {
    DataFrame d;
    d.type = f.type;
    d.handle = f.handle;
    d.arrived = platform::TickCount();
    d.length = f.length;
    d.payload_length = f.data.size();
    d.checksum_ok = f.raw.size() == f.length &&
                    ServerFrameCheckSum(reinterpret_cast<const unsigned char*>(f.raw.data()),
                                        f.length - 4) == f.checksum;
    if (f.data.size() >= 22) {
        d.sequence = static_cast<uint32_t>(std::strtoul(f.data.substr(0, 10).c_str(), nullptr, 10));
        const size_t dot = f.data.find('.', 22);
        d.name = f.data.substr(22, dot == std::string::npos ? std::string::npos : dot - 22);
    }
    return d;
}

class StreamClient {
  public:
    bool Connect(uint16_t port) { return client_.Connect(port); }
    TestClient& raw() { return client_; }

    // Sends a request and returns its reply; data frames before it are kept.
    std::optional<Frame> Call(const std::string& text, uint8_t handle = 1, int seconds = 30) {
        if (!client_.Request(text, handle)) return std::nullopt;
        return NextReply(seconds);
    }
    std::optional<Frame> NextReply(int seconds = 30) {
        const uint32_t start = platform::TickCount();
        while (platform::TickCount() - start < static_cast<uint32_t>(seconds) * 1000u) {
            auto f = client_.ReadFrame(seconds);
            if (!f) return std::nullopt;
            if (f->type == 0x600) continue;
            if (IsData(*f)) {
                data_.push_back(ParseData(*f));
                continue;
            }
            if (f->type != 0) {
                notices_.push_back(*f);
                continue;
            }
            return f;
        }
        return std::nullopt;
    }
    // Reads until `count` data frames are kept in all, or the time is up.
    size_t ReadData(size_t count, int seconds = 20) {
        const uint32_t start = platform::TickCount();
        while (data_.size() < count &&
               platform::TickCount() - start < static_cast<uint32_t>(seconds) * 1000u) {
            if (auto f = client_.ReadFrame(1)) Keep(*f);
        }
        return data_.size();
    }
    // Reads everything for `ms` milliseconds.
    void ReadFor(uint32_t ms) {
        const uint32_t start = platform::TickCount();
        while (platform::TickCount() - start < ms) {
            if (auto f = client_.ReadFrame(1)) Keep(*f);
        }
    }
    // Data frames go to data(), everything but keep-alive pings to notices().
    void Keep(const Frame& f) {
        if (IsData(f)) {
            data_.push_back(ParseData(f));
        } else if (f.type != 0x600) {
            notices_.push_back(f);
        }
    }
    // Waits for a frame of `type` that is not data; kept in notices().
    std::optional<Frame> WaitNotice(unsigned type, int seconds = 20) {
        for (const Frame& f : notices_)
            if (f.type == type) return f;
        const uint32_t start = platform::TickCount();
        while (platform::TickCount() - start < static_cast<uint32_t>(seconds) * 1000u) {
            auto f = client_.ReadFrame(1);
            if (!f) continue;
            Keep(*f);
            if (!IsData(*f) && f->type == type) return f;
        }
        return std::nullopt;
    }

    std::vector<DataFrame>& data() { return data_; }
    const std::vector<Frame>& notices() const { return notices_; }

    static bool IsData(const Frame& f) { return f.type >= 0x100 && f.type <= 0x4FF; }

  private:
    TestClient client_;
    std::vector<DataFrame> data_;
    std::vector<Frame> notices_;
};

class StreamsFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.AddUser("ann", "secret", 4);
        server_.AddUser("bob", "secret", 4);
        server_.store().WriteText("Receivers\\Base1", cfg::kInterface.name, "COM 1");
        server_.store().WriteFlag("Receivers\\Base1", cfg::kEnableRcv.name, true);
        ports_ = server_.home() + "/ports";
        transcript_ = server_.home() + "/sim-transcript.txt";
        mkdir(ports_.c_str(), 0755);
    }
    void TearDown() override {
        server_.Stop();
        if (sim_.pid() > 0 && sim_.Running()) {
            sim_.Signal(15);
            sim_.Wait(5000);
        }
    }
    // The simulator on COM1 (periods 10 times faster) and the server.
    void Start(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {
            ProgramPath("orvanasim"), "--pty", "--ports",      ports_,     "--com", "1",
            "--time-scale",           "10",    "--transcript", transcript_};
        argv.insert(argv.end(), extra.begin(), extra.end());
        std::string error;
        ASSERT_TRUE(sim_.Start(argv, &error)) << error;
        ASSERT_TRUE(sim_.WaitForLine("Terminal", 10000)) << sim_.Stderr();
        ASSERT_TRUE(server_.Start());
    }
    // Logged in with the receiver open at handle 1.
    std::unique_ptr<StreamClient> Client(const std::string& user) {
        auto c = std::make_unique<StreamClient>();
        EXPECT_TRUE(c->Connect(server_.port()));
        auto f = c->Call("OpenUsr " + user + " secret tests", 0);
        EXPECT_TRUE(f && f->data == "RE:OK.") << (f ? f->data : "no reply");
        f = c->Call("OpenRcv Base1", 1, 60);
        EXPECT_TRUE(f && f->data == "RE:OK.") << (f ? f->data : "no reply");
        return c;
    }
    static std::string Text(const std::optional<Frame>& f) { return f ? f->data : "(no reply)"; }

    // The lines the simulator received, checksums taken off.
    std::vector<std::string> SimLines() const {
        std::vector<std::string> lines;
        const std::string all = ReadFile(transcript_);
        size_t at = 0;
        while (at < all.size()) {
            size_t end = all.find('\n', at);
            if (end == std::string::npos) end = all.size();
            std::string line = all.substr(at, end - at);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.size() > 3 && line[line.size() - 3] == '@') line.resize(line.size() - 3);
            lines.push_back(line);
            at = end + 1;
        }
        return lines;
    }
    // The "%em%em,," commands after the last disable sequence: the list now programmed.
    std::vector<std::string> LastEmCommands() const {
        std::vector<std::string> ems;
        for (const std::string& l : SimLines()) {
            if (l.find("dm") != std::string::npos && l.rfind("%em%", 0) != 0) ems.clear();
            if (l.rfind("%em%em,,", 0) == 0) ems.push_back(l.substr(8));
        }
        return ems;
    }
    // Waits until the simulator has seen a line starting with `prefix` (bounded).
    bool WaitSimLine(const std::string& prefix, uint32_t ms = 10000) const {
        const uint32_t start = platform::TickCount();
        while (platform::TickCount() - start < ms) {
            for (const std::string& l : SimLines())
                if (l.rfind(prefix, 0) == 0) return true;
            platform::SleepMs(20);
        }
        return false;
    }

    ServerProcess server_;
    platform::Subprocess sim_;
    std::string ports_, transcript_;
};

// The frames of `name` after the last restart of its sequence numbers (each "dm" restarts them).
inline std::vector<DataFrame> SinceLastRestart(const std::vector<DataFrame>& all,
                                               const std::string& name) {
    std::vector<DataFrame> out;
    for (const DataFrame& d : all) {
        if (d.name != name) continue;
        if (!out.empty() && d.sequence < out.back().sequence) out.clear();
        out.push_back(d);
    }
    return out;
}

}  // namespace orvana::test
