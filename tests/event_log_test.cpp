// The event log: file names by date and hour, stamps and the same-second prefix, escaping of raw
// bytes, the 512-character cut, banners, renewal, and log retention by the running server.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "core/event_log.h"
#include "core/server.h"
#include "platform/env.h"
#include "tests/server_harness.h"
#include "tests/support/fault_env.h"

namespace orvana {
namespace {

using test::ReadFile;
using test::TempDir;

// A local clock the test moves by hand.
class MovedClock {
  public:
    explicit MovedClock(platform::LocalTime t) : now_(t) {}
    void Set(int hour, int minute, int second) {
        std::lock_guard<std::mutex> guard(mu_);
        now_.hour = hour;
        now_.minute = minute;
        now_.second = second;
    }
    EventLog::Clock Source() {
        return [this] {
            std::lock_guard<std::mutex> guard(mu_);
            return now_;
        };
    }

  private:
    std::mutex mu_;
    platform::LocalTime now_;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t from = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", from)) {
        out.push_back(text.substr(from, at - from));
        from = at + 2;
    }
    if (from < text.size()) out.push_back(text.substr(from));
    return out;
}

class EventLogFile : public ::testing::Test {
  protected:
    std::string Path(const std::string& suffix) const { return dir_.File("srv" + suffix); }
    TempDir dir_;
    MovedClock clock_{{2026, 12, 7, 9, 5, 3, 0}};
};

TEST_F(EventLogFile, NamedAfterDateAndHourWithStartBanner) {
    EventLog log(dir_.File("srv"), clock_.Source());
    log.Open();
    EXPECT_EQ(log.FileName(), Path("261207-09.log"));
    log.Close();
    EXPECT_EQ(ReadFile(Path("261207-09.log")),
              "\r\n**** Start Log 07.12.2026 09:05:03  **** Version 1.4 Build Date: May  4 2009"
              "\r\n\r\n"
              "\r\n**** Stop Log 07.12.2026 09:05:03  ****\r\n\r\n");
    // Single-digit fields are padded and the year taken modulo 100.
    MovedClock early({2009, 5, 4, 8, 30, 0, 0});
    EventLog other(dir_.File("Srv"), early.Source());
    other.Open();
    EXPECT_EQ(other.FileName(), dir_.File("Srv090504-08.log"));
    EXPECT_TRUE(std::filesystem::exists(dir_.File("Srv090504-08.log")));
}

TEST_F(EventLogFile, LineInTheSameSecondGetsTabsInsteadOfTheStamp) {
    EventLog log(dir_.File("srv"), clock_.Source());
    log.Open();
    clock_.Set(9, 5, 4);
    log.WriteLine("first");
    log.WriteLine("second");
    clock_.Set(9, 5, 5);
    log.WriteLine("third");
    log.WriteLine("fourth");
    log.Close();
    auto lines = Lines(ReadFile(Path("261207-09.log")));
    ASSERT_GE(lines.size(), 7u);
    EXPECT_EQ(lines[3], "07.12.2026 09:05:04 first");
    EXPECT_EQ(lines[4], "\t\t  second");
    EXPECT_EQ(lines[5], "07.12.2026 09:05:05 third");
    EXPECT_EQ(lines[6], "\t\t  fourth");
}

TEST_F(EventLogFile, RawBytesAreEscapedAndTextsCutAt512) {
    EventLog log(dir_.File("srv"), clock_.Source());
    std::vector<std::string> view;
    log.SetViewSink([&](const std::string& line) { view.push_back(line); });
    clock_.Set(9, 0, 0);
    log.Open();
    const unsigned char bytes[] = {0x41, 0x0D, 0x0A, 0x00, 0x42};
    clock_.Set(9, 0, 1);
    log.WriteBytes("Rcv: ", bytes, sizeof bytes);
    const unsigned char edges[] = {31, 32, 126, 127, 0xFF, 0x9a};
    log.AppendBytes("edges=", edges, sizeof edges);

    clock_.Set(9, 0, 2);
    log.WriteLine(std::string(600, 'w'));
    log.WriteRaw(std::string(600, 'r'));
    // Byte 512 is past the cut: only the one before it shows.
    std::string long_bytes(511, 'b');
    long_bytes += '\x01';
    long_bytes += '\x02';
    long_bytes += std::string(80, 'c');
    clock_.Set(9, 0, 3);
    log.WriteBytes("", long_bytes.data(), long_bytes.size());

    ASSERT_EQ(view.size(), 6u);  // banner and five lines, without line ends
    EXPECT_EQ(view[1], "07.12.2026 09:00:01 Rcv: A<cr><lf><00>B");
    EXPECT_EQ(view[2], "edges=<1F> ~<7F><FF><9A>");
    EXPECT_EQ(view[3], "07.12.2026 09:00:02 " + std::string(512, 'w'));
    EXPECT_EQ(view[4], std::string(512, 'r'));
    EXPECT_EQ(view[5], "07.12.2026 09:00:03 " + std::string(511, 'b') + "<01>");
    // The file has the same lines, each ended by CR LF.
    log.Close();
    auto lines = Lines(ReadFile(Path("261207-09.log")));
    ASSERT_GE(lines.size(), 8u);
    for (int i = 1; i <= 5; ++i) EXPECT_EQ(lines[static_cast<size_t>(i) + 2], view[i]) << i;
}

TEST_F(EventLogFile, WithoutAnOpenFileLinesStillReachTheView) {
    // A folder that does not exist: the file cannot be opened.
    std::vector<std::string> view;  // outlives the log, whose closing still shows its banner
    EventLog log(dir_.File("missing/srv"), clock_.Source());
    log.SetViewSink([&](const std::string& line) { view.push_back(line); });
    log.Open();
    clock_.Set(9, 5, 4);
    log.WriteLine("still seen");
    ASSERT_FALSE(view.empty());
    EXPECT_EQ(view.back(), "07.12.2026 09:05:04 still seen");
    EXPECT_FALSE(std::filesystem::exists(dir_.File("missing")));
}

// A full disk: the lines written meanwhile (and the rest of the one cut short) wait and reach
// the file in order, each once, when it takes writes again. Beyond the bound, the log says how
// many were lost.
TEST_F(EventLogFile, LinesTheDiskDidNotTakeFollowOnceItDoes) {
    test::FaultEnv env;
    platform::ScopedEnv scoped(env);
    // More 400-character lines than the backlog holds, whatever their prefix.
    const size_t fits = EventLog::kMaxBacklog / 400;
    {
        EventLog log(dir_.File("srv"), clock_.Source());
        log.Open();
        log.WriteLine("before");
        env.FailFileWrites(".log", ENOSPC, 10);  // "during one" is cut after ten bytes
        log.WriteLine("during one");
        log.WriteLine("during two");
        EXPECT_GT(env.writes_failed(), 0);
        env.ClearFileWrites();
        log.WriteLine("after");

        env.FailFileWrites(".log", ENOSPC);
        for (size_t i = 0; i < fits + 50; ++i) log.WriteLine(std::string(400, 'f'));
        env.ClearFileWrites();
        log.WriteLine("recovered");
    }
    // The texts after their stamp or same-second prefix, banners left out.
    std::vector<std::string> texts;
    for (const std::string& l : Lines(ReadFile(Path("261207-09.log")))) {
        if (l.empty() || l.find("**** ") != std::string::npos) continue;
        texts.push_back(l.rfind("\t\t  ", 0) == 0 ? l.substr(4) : l.substr(20));
    }
    ASSERT_GE(texts.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(texts.begin(), texts.begin() + 4),
              (std::vector<std::string>{"before", "during one", "during two", "after"}));
    // What fitted the backlog came through whole; the rest is counted, never half-written.
    const std::string filler(400, 'f');
    size_t fillers = 0;
    while (4 + fillers < texts.size() && texts[4 + fillers] == filler) ++fillers;
    EXPECT_GT(fillers, 0u);
    ASSERT_EQ(texts.size(), 4 + fillers + 2);
    EXPECT_EQ(texts[4 + fillers], "ER:" + std::to_string(fits + 50 - fillers) +
                                      " log lines lost: the file took no writes");
    EXPECT_EQ(texts.back(), "recovered");
}

TEST_F(EventLogFile, RenewClosesTheOldFileAndStartsOneNamedAfterTheNewHour) {
    {
        EventLog log(dir_.File("srv"), clock_.Source());
        log.Open();
        log.WriteLine("in nine");
        clock_.Set(10, 0, 0);
        log.Renew();
        EXPECT_EQ(log.FileName(), Path("261207-10.log"));
        clock_.Set(10, 0, 1);
        log.WriteLine("in ten");
        clock_.Set(10, 0, 2);
    }  // destroyed: the stop banner
    const std::string nine = ReadFile(Path("261207-09.log"));
    const std::string ten = ReadFile(Path("261207-10.log"));
    EXPECT_NE(nine.find("in nine\r\n"), std::string::npos);
    EXPECT_EQ(nine.find("in ten"), std::string::npos);
    EXPECT_TRUE(nine.ends_with("\r\n**** Stop Log 07.12.2026 10:00:00  ****\r\n\r\n")) << nine;
    EXPECT_TRUE(ten.starts_with("\r\n**** Start Log 07.12.2026 10:00:00  **** ")) << ten;
    EXPECT_NE(ten.find("07.12.2026 10:00:01 in ten\r\n"), std::string::npos);
    EXPECT_TRUE(ten.ends_with("\r\n**** Stop Log 07.12.2026 10:00:02  ****\r\n\r\n")) << ten;
}

TEST_F(EventLogFile, LinesFromManyThreadsStayWhole) {
    EventLog log(dir_.File("srv"), clock_.Source());
    log.Open();
    clock_.Set(9, 5, 4);
    log.WriteLine("go");  // the stamped line; the rest fall in its second
    constexpr int kThreads = 4, kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&log, t] {
            const std::string body = "thread" + std::to_string(t) + ":" + std::string(200, 'x');
            for (int i = 0; i < kLines; ++i) log.WriteLine(body);
        });
    for (auto& t : threads) t.join();
    log.Close();
    int counted = 0;
    for (const std::string& line : Lines(ReadFile(Path("261207-09.log")))) {
        if (line.find("thread") == std::string::npos) continue;
        ++counted;
        EXPECT_TRUE(line.starts_with("\t\t  thread")) << line;
        EXPECT_TRUE(line.ends_with(":" + std::string(200, 'x'))) << line;
        EXPECT_EQ(line.size(), 4 + 8 + 200u) << line;
    }
    EXPECT_EQ(counted, kThreads * kLines);
}

// ---- renewal and retention in the running server ----------------------------------------------

// The server in this process with its clock and tick count moved by the test.
class ServerLogs : public ::testing::Test {
  protected:
    ServerLogs() { store_.WriteText(cfg::kActiveKey, cfg::kPortServer.name, "0"); }
    std::unique_ptr<Server> Started() {
        ServerOptions o;
        o.home = home_.dir.path();
        o.clock = clock_.Source();
        o.tick = [this] { return tick_.load(); };
        o.shutdown_pause_ms = 200;
        auto server = std::make_unique<Server>(store_, o);
        EXPECT_TRUE(server->StartServer(""));
        return server;
    }
    std::string Log(const std::string& stamp) const {
        return home_.dir.File("orvanasrv" + stamp + ".log");
    }
    test::TempStore home_;
    ConfigStore& store_ = *home_.store;
    MovedClock clock_{{2026, 12, 7, 9, 5, 3, 0}};
    std::atomic<uint32_t> tick_{1000};
};

TEST_F(ServerLogs, NewFileAfterModifyLogFileNameHours) {
    store_.WriteNumber(cfg::kActiveKey, cfg::kModifyLogFileName.name, 2);
    auto server = Started();
    EXPECT_TRUE(std::filesystem::exists(Log("261207-09")));
    // One hour on: not yet.
    clock_.Set(10, 5, 3);
    tick_ += 3600000;
    platform::SleepMs(1500);
    EXPECT_FALSE(std::filesystem::exists(Log("261207-10")));
    // Two hours on: the next file, named after the hour it starts in.
    clock_.Set(11, 5, 3);
    tick_ += 3600000;
    ASSERT_TRUE(test::WaitUntil([&] { return std::filesystem::exists(Log("261207-11")); }));
    server->log().WriteLine("after the renewal");
    server->StopServer();
    const std::string nine = ReadFile(Log("261207-09"));
    const std::string eleven = ReadFile(Log("261207-11"));
    EXPECT_NE(nine.find("**** Stop Log 07.12.2026 11:05:03  ****"), std::string::npos);
    EXPECT_EQ(nine.find("after the renewal"), std::string::npos);
    EXPECT_TRUE(eleven.starts_with("\r\n**** Start Log 07.12.2026 11:05:03  **** ")) << eleven;
    EXPECT_NE(eleven.find("after the renewal"), std::string::npos);
}

TEST_F(ServerLogs, RenewalPeriodOutsideOneTo36HoursBecomes24) {
    const struct {
        uint32_t stored, used;
    } cases[] = {{0, 24}, {37, 24}, {1000, 24}, {1, 1}, {36, 36}};
    for (auto c : cases) {
        store_.WriteNumber(cfg::kActiveKey, cfg::kModifyLogFileName.name, c.stored);
        auto server = Started();
        server->StopServer();
        EXPECT_EQ(store_.ReadNumber(cfg::kActiveKey, cfg::kModifyLogFileName), c.used) << c.stored;
    }
}

class Retention : public ::testing::Test {
  protected:
    // A log file of the server's name whose time lies `days` back.
    std::string OldFile(const std::string& name, double days) {
        const std::string path = server_.home() + "/" + name;
        test::WriteFile(path, "old\r\n");
        const auto age = std::chrono::duration_cast<std::filesystem::file_time_type::duration>(
            std::chrono::duration<double>(days * 86400.0));
        std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() - age);
        return path;
    }
    test::ServerProcess server_;
};

TEST_F(Retention, TimeKillLogZeroWhenMissingKeepsEveryFileAndDaysDeleteOlderLogs) {
    const std::string year_old = OldFile("orvanasrv251207-08.log", 365);
    ASSERT_FALSE(
        server_.store().hive().GetValue(server_.store().BaseKey(), cfg::kTimeKillLog.name));
    ASSERT_TRUE(server_.Start());
    ASSERT_TRUE(server_.Stop());
    EXPECT_TRUE(std::filesystem::exists(year_old));
    auto value = server_.store().hive().GetValue(server_.store().BaseKey(), cfg::kTimeKillLog.name);
    ASSERT_TRUE(value);
    EXPECT_EQ(server_.store().ReadNumber(cfg::kActiveKey, cfg::kTimeKillLog.name, 99), 0u);

    server_.store().WriteNumber(cfg::kActiveKey, cfg::kTimeKillLog.name, 7);
    const std::string eight_days = OldFile("orvanasrv261129-08.log", 8);
    const std::string six_days = OldFile("orvanasrv261201-08.log", 6);
    const std::string foreign = OldFile("other261101-08.log", 30);
    const std::string not_a_log = OldFile("orvanasrv261101-08.txt", 30);
    ASSERT_TRUE(server_.Start());
    EXPECT_FALSE(std::filesystem::exists(year_old));
    EXPECT_FALSE(std::filesystem::exists(eight_days));
    EXPECT_TRUE(std::filesystem::exists(six_days));
    EXPECT_TRUE(std::filesystem::exists(foreign));
    EXPECT_TRUE(std::filesystem::exists(not_a_log));
    // The server's own new file is kept.
    EXPECT_TRUE(server_.WaitForLog("**** Start Log "));
}

}  // namespace
}  // namespace orvana
