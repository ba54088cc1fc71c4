#pragma once
// What the data stream tests share: the server binary with the simulator on a pseudo-terminal
// linked as its COM1, and clients that keep the data frames arriving between their replies.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/subprocess.h"
#include "tests/orvanasim_harness.h"
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
    bool Connect(uint16_t port, const std::string& host = "127.0.0.1") {
        return client_.Connect(port, host);
    }
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
            if (!f || f->type == 0) return f;
            Keep(*f);
        }
        return std::nullopt;
    }
    // Reads, keeping every frame, until `done` holds or `ms` have passed; whether it held.
    bool ReadUntil(const std::function<bool()>& done, uint32_t ms) {
        const uint32_t start = platform::TickCount();
        while (!done()) {
            if (platform::TickCount() - start >= ms) return false;
            if (auto f = client_.ReadFrame(1)) Keep(*f);
        }
        return true;
    }
    // Reads until `count` data frames are kept in all, or the time is up.
    size_t ReadData(size_t count, int seconds = 20) {
        ReadUntil([&] { return data_.size() >= count; }, static_cast<uint32_t>(seconds) * 1000u);
        return data_.size();
    }
    void ReadFor(uint32_t ms) {
        ReadUntil([] { return false; }, ms);
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
        std::optional<Frame> found;
        ReadUntil(
            [&] {
                for (const Frame& f : notices_)
                    if (f.type == type) return (found = f).has_value();
                return false;
            },
            static_cast<uint32_t>(seconds) * 1000u);
        return found;
    }

    std::vector<DataFrame>& data() { return data_; }
    const std::vector<Frame>& notices() const { return notices_; }
    void ClearNotices() { notices_.clear(); }

    static bool IsData(const Frame& f) { return f.type >= 0x100 && f.type <= 0x4FF; }

  private:
    TestClient client_;
    std::vector<DataFrame> data_;
    std::vector<Frame> notices_;
};

// Logged in as `user` (password "secret").
inline std::unique_ptr<StreamClient> LoggedInStream(uint16_t port, const std::string& user,
                                                    const std::string& host = "127.0.0.1") {
    auto c = std::make_unique<StreamClient>();
    EXPECT_TRUE(c->Connect(port, host));
    auto f = c->Call("OpenUsr " + user + " secret tests", 0);
    EXPECT_TRUE(f && f->data == "RE:OK.") << (f ? f->data : "no reply");
    return c;
}

// The lines of a simulator's transcript, checksums taken off.
inline std::vector<std::string> TranscriptLines(const std::string& path) {
    std::vector<std::string> lines;
    const std::string all = ReadFile(path);
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

class StreamsFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.AddUser("ann", "secret", 4);
        server_.AddUser("bob", "secret", 4);
        server_.AddReceiver("Base1", true, "COM 1");
        transcript_ = server_.home() + "/sim-transcript.txt";
    }
    void TearDown() override { server_.Stop(); }
    // The simulator on COM1 (periods 10 times faster) and the server.
    void Start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {
            "--ports", server_.Ports(), "--com",    "1", "--time-scale",
            "10",      "--transcript",  transcript_};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(sim_.StartPty(args));
        ASSERT_TRUE(server_.Start());
    }
    // Logged in with the receiver open at handle 1.
    std::unique_ptr<StreamClient> Client(const std::string& user) {
        auto c = LoggedInStream(server_.port(), user);
        auto f = c->Call("OpenRcv Base1", 1, 60);
        EXPECT_TRUE(f && f->data == "RE:OK.") << (f ? f->data : "no reply");
        return c;
    }
    static std::string Text(const std::optional<Frame>& f) { return f ? f->data : "(no reply)"; }

    // The lines the simulator received, checksums taken off.
    std::vector<std::string> SimLines() const { return TranscriptLines(transcript_); }
    // The "%em%em,," commands after the last disable sequence: the list now programmed.
    std::vector<std::string> LastEmCommands() const {
        std::vector<std::string> ems;
        for (const std::string& l : SimLines()) {
            if (l.find("dm") != std::string::npos && l.rfind("%em%", 0) != 0) ems.clear();
            if (l.rfind("%em%em,,", 0) == 0) ems.push_back(l.substr(8));
        }
        return ems;
    }
    ServerProcess server_;
    simtest::Sim sim_;
    std::string transcript_;
};

// The frames of `name` after the last restart of its sequence numbers (each "dm" restarts them).
// Differences between consecutive sequence numbers: {1} when nothing was lost or repeated.
inline std::set<uint32_t> Steps(const std::vector<DataFrame>& frames) {
    std::set<uint32_t> steps;
    for (size_t i = 1; i < frames.size(); ++i)
        steps.insert(frames[i].sequence - frames[i - 1].sequence);
    return steps;
}

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
