// Clocks under the running server, moved through the platform Env: the 32-bit tick count
// wrapping in the middle of a run (as it does every 49.7 days of uptime), and the calendar clock
// set back and forth by an operator or a time service. Time-outs, the login wait, the back-off
// after a failed open and the log's renewal keep their meaning.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <set>

#include "platform/env.h"
#include "receivers/receiver_table.h"
#include "tests/orvanasim_harness.h"
#include "tests/streams_harness.h"
#include "tests/support/fault_env.h"
#include "tests/tcp_link_harness.h"

namespace orvana {
namespace {

using test::StreamClient;
using test::Text;

constexpr uint32_t kHalf = 0x80000000u;

// The number after `before` in the last log line that has it.
uint32_t NumberAfter(const std::string& log, const std::string& before) {
    const size_t at = log.rfind(before);
    return at == std::string::npos
               ? 0
               : static_cast<uint32_t>(std::strtoul(log.c_str() + at + before.size(), nullptr, 10));
}

TEST(ClockFaults, TheTickCountWrappingMidRunKeepsEveryWaitItsLength) {
    test::FaultEnv env;
    platform::ScopedEnv scoped(env);
    simtest::Sim sim;
    test::SimReceiver quiet;  // frozen later, and it can tell when it is
    auto sim_port = sim.StartTcp({});
    ASSERT_TRUE(sim_port && quiet.Start({"--address", "127.0.0.2"}));
    // The simulators are programs of their own: only the server's clock wraps.
    env.WrapTicksAfter(12000);
    test::LocalServer local;
    test::AddTcpReceiver(local.store(), "sim", "TCP 127.0.0.1", *sim_port);
    test::AddTcpReceiver(local.store(), "quiet", "TCP 127.0.0.2", quiet.port());
    test::AddTcpReceiver(local.store(), "gone", "TCP 127.0.0.3", test::FreePort());
    ServerOptions options;
    options.first_frame_wait_ms = 12000;
    options.keepalive_first_ms = 300;
    options.keepalive_period_ms = 300;
    options.command_reply_ms = 12000;
    std::mutex slept_mu;
    std::vector<uint32_t> slept;
    // The back-off's waits are recorded, not slept.
    options.sleep = [&](uint32_t ms) {
        std::lock_guard<std::mutex> guard(slept_mu);
        slept.push_back(ms);
    };
    ASSERT_TRUE(local.Start(options));
    const uint16_t port = local.server().ListenPort();

    // Before the wrap: a client that never logs in, a failed open, a command to a receiver
    // that has stopped answering.
    test::TestClient silent;
    ASSERT_TRUE(silent.Connect(port));
    const uint32_t silent_since = platform::TickCount();
    auto ann = test::LoggedInStream(port, "ann");
    ASSERT_EQ(Text(ann->Call("OpenRcv sim", 1, 30)), "RE:OK.");
    ASSERT_EQ(Text(ann->Call("Attach 0,RT:0.2", 1)), "RE:OK.");
    EXPECT_EQ(Text(ann->Call("OpenRcv gone", 2, 30)), "ER:Can't open receiver:gone");
    auto bob = test::LoggedInStream(port, "ann");
    ASSERT_EQ(Text(bob->Call("OpenRcv quiet", 1, 30)), "RE:OK.");
    // Stopped for sure before the command goes: a signal takes effect when it is scheduled.
    ASSERT_TRUE(quiet.Freeze());
    ASSERT_TRUE(bob->raw().Request("Command print,/par/rcvid", 1));
    const uint32_t asked = platform::TickCount();
    ASSERT_GE(asked, kHalf) << "the set-up took so long that the tick count wrapped already";

    // Across the wrap.
    ASSERT_TRUE(ann->ReadUntil([] { return platform::TickCount() < kHalf; }, 30000));
    ann->ReadFor(1000);
    const auto frames = test::SinceLastRestart(ann->data(), "jps/RT");
    ASSERT_GE(frames.size(), 10u);
    EXPECT_EQ(test::Steps(frames), std::set<uint32_t>{1});

    // The command waited its whole time-out, not less and not for ever.
    auto reply = bob->NextReply(60);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->data.substr(0, 3), "ER:");
    EXPECT_GE(platform::TickCount() - asked, 11000u);
    ASSERT_TRUE(quiet.process().Signal(SIGCONT));

    // The silent client had its login wait, measured across the wrap.
    EXPECT_TRUE(silent.WaitClosed(60));
    EXPECT_GE(platform::TickCount() - silent_since, 11000u);

    // The back-off started before the wrap and is only partly over after it.
    EXPECT_EQ(Text(ann->Call("OpenRcv gone", 2, 30)), "ER:Can't open receiver:gone");
    const std::string log = local.LogText();
    const uint32_t rest = NumberAfter(
        log, "gone has not recovered from previous comunications failure. Waiting for ");
    EXPECT_GT(rest, 0u) << log;
    EXPECT_LE(rest, ReceiverTable::kTcpBackOffMs);
    std::lock_guard<std::mutex> guard(slept_mu);
    EXPECT_EQ(std::set<uint32_t>(slept.begin(), slept.end()).count(rest), 1u);
}

// The calendar clock set back a day and forward two: the log goes on in the same file (its
// renewal counts running time), stamps follow the clock, and clients are served throughout.
TEST(ClockFaults, TheCalendarClockSetBackAndForthChangesOnlyTheStamps) {
    test::FaultEnv env;
    platform::ScopedEnv scoped(env);
    simtest::Sim sim;
    auto sim_port = sim.StartTcp({});
    ASSERT_TRUE(sim_port);
    test::LocalServer local;
    test::AddTcpReceiver(local.store(), "sim", "TCP 127.0.0.1", *sim_port);
    ServerOptions options;
    options.keepalive_first_ms = 300;
    options.keepalive_period_ms = 300;
    ASSERT_TRUE(local.Start(options));
    const uint16_t port = local.server().ListenPort();
    const std::string file = local.server().log().FileName();
    auto ann = test::LoggedInStream(port, "ann");
    ASSERT_EQ(Text(ann->Call("OpenRcv sim", 1, 30)), "RE:OK.");
    ASSERT_EQ(Text(ann->Call("Attach 0,RT:0.2", 1)), "RE:OK.");

    for (int days : {-1, 2}) {
        env.SetWallClockBy(std::chrono::hours(24 * days));
        const std::string stamp = platform::FormatTimestamp(platform::NowLocal()).substr(0, 10);
        ann->data().clear();
        ASSERT_GE(ann->ReadData(5, 30), 5u) << days;
        EXPECT_EQ(Text(ann->Call("Command print,/par/rcvid", 1, 30)).substr(0, 2), "RE");
        // Two maintenance rounds at least, which would have renewed a log kept by the calendar.
        ann->ReadFor(2500);
        EXPECT_EQ(local.server().log().FileName(), file) << days;
        EXPECT_NE(test::ReadFile(file).find(stamp + " "), std::string::npos) << stamp;
    }
    EXPECT_EQ(test::CountOf(test::ReadFile(file), "**** Start Log"), 1u);
}

}  // namespace
}  // namespace orvana
