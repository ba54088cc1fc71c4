// Clock synchronisation against a real RFC 868 server on loopback (xinetd's built-in time
// service), and against servers that do not answer properly. The clock setter is always
// injected: nothing here changes this machine's clock.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <optional>
#include <thread>

#include "core/event_log.h"
#include "core/time_sync.h"
#include "platform/clock_set.h"
#include "tests/server_harness.h"

namespace orvana {
namespace {

using test::FreePort;
using test::TempDir;

bool Accepts(uint16_t port) {
    try {
        CBlockingSocket s;
        s.Create(1);
        const platform::Ipv4Endpoint at{0x7F000001, port};  // 127.0.0.1
        s.Connect(at, 500);
        return true;
    } catch (const CBlockingSocketException&) {
        return false;
    }
}

// xinetd running only its built-in stream time service on a free loopback port.
class TimeServer {
  public:
    // Empty when it runs; otherwise why it cannot run here. Where it can run (root, installed)
    // a failure to come up is a test failure, not a reason to skip.
    std::string Start() {
        if (::geteuid() != 0) return "xinetd's time service runs as root; this is not root";
        const char* binary = "/usr/sbin/xinetd";
        if (!std::filesystem::exists(binary)) return "xinetd is not installed";
        for (int attempt = 0; attempt < 3; ++attempt) {
            port_ = FreePort();
            test::WriteFile(dir_.File("xinetd.conf"),
                            "defaults\n{\n}\n"
                            "service time\n{\n"
                            "    type        = INTERNAL UNLISTED\n"
                            "    id          = time-stream\n"
                            "    socket_type = stream\n"
                            "    protocol    = tcp\n"
                            "    port        = " +
                                std::to_string(port_) +
                                "\n"
                                "    bind        = 127.0.0.1\n"
                                "    wait        = no\n"
                                "    user        = root\n"
                                "}\n");
            std::string error;
            process_ = std::make_unique<platform::Subprocess>();
            if (!process_->Start({binary, "-f", dir_.File("xinetd.conf"), "-dontfork", "-filelog",
                                  dir_.File("xinetd.log"), "-pidfile", dir_.File("xinetd.pid")},
                                 &error))
                return Failed("xinetd did not start: " + error);
            const uint32_t start = platform::TickCount();
            while (platform::TickCount() - start < 5000 && process_->Running()) {
                if (Accepts(port_)) return "";
                platform::SleepMs(50);
            }
            Stop();  // the port was taken in the meantime, or xinetd gave up: again
        }
        return Failed("xinetd's time service did not come up: " +
                      test::ReadFile(dir_.File("xinetd.log")));
    }
    static std::string Failed(const std::string& why) {
        ADD_FAILURE() << why;
        return why;
    }
    void Stop() {
        if (!process_) return;
        if (process_->Running()) {
            process_->Signal(15);
            process_->Wait(5000);
        }
        process_.reset();
    }
    ~TimeServer() { Stop(); }
    uint16_t port() const { return port_; }

  private:
    TempDir dir_;
    std::unique_ptr<platform::Subprocess> process_;
    uint16_t port_ = 0;
};

// A listener that serves one connection with `reply` and then closes it, or holds it open.
class OddServer {
  public:
    OddServer(std::string reply, bool hold_open) {
        listener_.Create(1);
        const platform::Ipv4Endpoint at{0x7F000001, 0};  // 127.0.0.1
        listener_.Bind(at);
        listener_.Listen(4);
        port_ = listener_.LocalEndpoint().port;
        thread_ = std::thread([this, reply, hold_open] {
            CBlockingSocket client;
            platform::Ipv4Endpoint peer;
            try {
                listener_.Accept(client, &peer, true);
            } catch (const CBlockingSocketException&) {
                return;
            }
            if (!reply.empty()) client.Send(reply.data(), static_cast<int>(reply.size()));
            if (hold_open) {
                char b[16];
                client.Receive(b, sizeof b, 10);  // until the other side gives up
            }
            client.Cleanup();
        });
    }
    ~OddServer() {
        listener_.Cleanup();
        thread_.join();
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  private:
    CBlockingSocket listener_;
    uint16_t port_ = 0;
    std::thread thread_;
};

std::time_t AsTime(const platform::LocalTime& t) {
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

struct Captured {
    std::atomic<int> calls{0};
    platform::LocalTime time;
    TimeSync::ClockSetter Setter(bool result) {
        return [this, result](const platform::LocalTime& t) {
            time = t;
            ++calls;
            return result;
        };
    }
};

uint32_t Since1900(const platform::LocalTime& local) {
    return static_cast<uint32_t>(static_cast<uint64_t>(AsTime(local)) + 2208988800u);
}

// The machine's own synchronisation state must not decide these tests.
bool Unsynced() {
    return false;
}

TEST(TimeSync, MergeTakesDateAndTimeFromTheServerAndYearFromTheLocalClockButAtNewYear) {
    // 2,208,988,800 s after 1900 is the start of 1970 (UTC); add 31 days and 1 h 1 min 1 s.
    const uint32_t since_1900 = 2208988800u + 31u * 86400u + 3661u;
    platform::LocalTime now{2031, 6, 15, 12, 0, 0, 789};
    platform::LocalTime merged = TimeSync::Merge(since_1900, now);
    platform::LocalTime server = platform::LocalFromUnix(31 * 86400 + 3661);
    EXPECT_EQ(merged.year, 2031);
    EXPECT_EQ(merged.millisecond, 789);
    EXPECT_EQ(merged.month, server.month);
    EXPECT_EQ(merged.day, server.day);
    EXPECT_EQ(merged.hour, server.hour);
    EXPECT_EQ(merged.minute, 1);
    EXPECT_EQ(merged.second, 1);

    // The local clock a few seconds behind or ahead across the turn of the year.
    platform::LocalTime late{2026, 12, 31, 23, 59, 58, 0};
    merged = TimeSync::Merge(Since1900({2027, 1, 1, 0, 0, 3, 0}), late);
    EXPECT_EQ(platform::FormatTimestamp(merged), "01.01.2027 00:00:03");
    platform::LocalTime early{2027, 1, 1, 0, 0, 2, 0};
    merged = TimeSync::Merge(Since1900({2026, 12, 31, 23, 59, 57, 0}), early);
    EXPECT_EQ(platform::FormatTimestamp(merged), "31.12.2026 23:59:57");
    // Within the year the local year stays.
    platform::LocalTime june{2026, 6, 1, 12, 0, 0, 0};
    merged = TimeSync::Merge(Since1900({2026, 6, 1, 12, 0, 9, 0}), june);
    EXPECT_EQ(platform::FormatTimestamp(merged), "01.06.2026 12:00:09");
}

TEST(TimeSync, RealTimeServerGivesTheTimeOfNowAndAClockThatCannotBeSetIsLogged) {
    TimeServer xinetd;
    if (std::string why = xinetd.Start(); !why.empty()) GTEST_SKIP() << why;
    const std::string address = "127.0.0.1:" + std::to_string(xinetd.port());
    Captured set;
    ASSERT_EQ(TimeSync(address, set.Setter(true), 3000, nullptr, Unsynced).Run(),
              TimeSync::Outcome::Set);
    ASSERT_EQ(set.calls, 1);
    EXPECT_LT(std::abs(static_cast<long>(AsTime(set.time) - std::time(nullptr))), 5L)
        << platform::FormatTimestamp(set.time);

    TempDir dir;
    EventLog log(dir.File("srv"));
    log.Open();
    Captured refused;
    EXPECT_EQ(TimeSync(address, refused.Setter(false), 3000, &log, Unsynced).Run(),
              TimeSync::Outcome::ClockNotSet);
    log.Close();
    std::string text;
    for (auto& e : std::filesystem::directory_iterator(dir.path()))
        text += test::ReadFile(e.path().string());
    EXPECT_NE(text.find("ER:Can't set the clock to " + platform::FormatTimestamp(refused.time) +
                        " from time server 127.0.0.1"),
              std::string::npos)
        << text;
}

TEST(TimeSync, NoServerAShortReplyASilentServerAndOffLeaveTheClock) {
    OddServer two_bytes(std::string("\xE9\x2F", 2), false);
    OddServer silent("", true);
    const struct {
        std::string address;
        uint32_t limit_ms;
        TimeSync::Outcome outcome;
    } cases[] = {
        {"127.0.0.1:" + std::to_string(FreePort()), 3000, TimeSync::Outcome::NoConnection},
        {two_bytes.address(), 3000, TimeSync::Outcome::ShortReply},
        {silent.address(), 1000, TimeSync::Outcome::ShortReply},
        {"", 1000, TimeSync::Outcome::Off},
        {"off", 1000, TimeSync::Outcome::Off},
    };
    for (const auto& c : cases) {
        Captured set;
        const uint32_t start = platform::TickCount();
        EXPECT_EQ(TimeSync(c.address, set.Setter(true), c.limit_ms, nullptr, Unsynced).Run(),
                  c.outcome)
            << c.address;
        // Bounded, so that start-up cannot hang on a server that never answers.
        EXPECT_LT(platform::TickCount() - start, 8000u) << c.address;
        EXPECT_EQ(set.calls, 0) << c.address;
    }
}

TEST(TimeSync, ServerStartUpSetsTheClockOnceFromTheTimeServer) {
    TimeServer xinetd;
    if (std::string why = xinetd.Start(); !why.empty()) GTEST_SKIP() << why;
    test::ServerProcess server;
    // The server reports the time it would set instead of setting it.
    ASSERT_TRUE(server.Start({"ORVANA_CLOCK_DRY_RUN=1"},
                             {"--time-server", "127.0.0.1:" + std::to_string(xinetd.port())}));
    const std::string out = server.process().StdoutSoFar();
    const std::string said = "Clock would be set to ";
    const size_t at = out.find(said);
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_EQ(out.find(said, at + 1), std::string::npos) << out;
    const std::string stamp = out.substr(at + said.size(), 19);
    const std::time_t now = std::time(nullptr);
    platform::LocalTime said_time{std::stoi(stamp.substr(6, 4)),
                                  std::stoi(stamp.substr(3, 2)),
                                  std::stoi(stamp.substr(0, 2)),
                                  std::stoi(stamp.substr(11, 2)),
                                  std::stoi(stamp.substr(14, 2)),
                                  std::stoi(stamp.substr(17, 2)),
                                  0};
    EXPECT_LT(std::abs(static_cast<long>(AsTime(said_time) - now)), 5L) << stamp;
}

// The clock is set from the store's TimeServer when no option names one, never from a server of
// our own choosing, and never while the system keeps it synchronised.
TEST(TimeSync, OnlyANamedServerSetsTheClockAndNeverWhileTheSystemKeepsIt) {
    TimeServer xinetd;
    if (std::string why = xinetd.Start(); !why.empty()) GTEST_SKIP() << why;
    const std::vector<std::string> no_option = {"--time-server", ""};
    {
        test::ServerProcess server;
        ASSERT_TRUE(server.Start({"ORVANA_CLOCK_DRY_RUN=1"}, no_option));
        EXPECT_EQ(server.process().StdoutSoFar().find("Clock would be set"), std::string::npos);
        EXPECT_EQ(server.LogText().find("Clock "), std::string::npos);
    }
    const std::string named = "127.0.0.1:" + std::to_string(xinetd.port());
    {
        test::ServerProcess server;
        server.store().WriteText(cfg::kActiveKey, cfg::kTimeServer.name, named);
        ASSERT_TRUE(server.Start({"ORVANA_CLOCK_DRY_RUN=1"}, no_option));
        EXPECT_NE(server.process().StdoutSoFar().find("Clock would be set"), std::string::npos);
        EXPECT_TRUE(server.WaitForLog("Clock set to "));
        EXPECT_NE(server.LogText().find(" from time server 127.0.0.1"), std::string::npos);
    }
    test::ServerProcess server;
    ASSERT_TRUE(server.Start({"ORVANA_CLOCK_DRY_RUN=1", "ORVANA_CLOCK_SYNCHRONISED=1"},
                             {"--time-server", named}));
    EXPECT_EQ(server.process().StdoutSoFar().find("Clock would be set"), std::string::npos);
    EXPECT_TRUE(server.WaitForLog("Clock left alone: the system keeps it synchronised"));
}

TEST(TimeSync, UnreachableTimeServerDoesNotHoldUpStartUp) {
    test::ServerProcess server;
    ASSERT_TRUE(server.Start({"ORVANA_CLOCK_DRY_RUN=1"},
                             {"--time-server", "127.0.0.1:" + std::to_string(FreePort())}));
    EXPECT_EQ(server.process().StdoutSoFar().find("Clock would be set"), std::string::npos);
}

}  // namespace
}  // namespace orvana
