// Opening a receiver over TCP through the server binary, with orvanasim on a real port: the
// login exchange accepted and refused, the greeting dropped when there is no login, the port
// taken from the interface settings, connect failures, sharing, and the back-off after a
// failure (in this process, with the server's tick and sleep moved by the test).

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "core/server.h"
#include "platform/clock.h"
#include "receivers/receiver_table.h"
#include "tests/tcp_link_harness.h"

namespace orvana {
namespace {

using test::FrameOfType;
using test::LoggedIn;
using test::Text;

class TcpOpen : public ::testing::Test {
  protected:
    void SetUp() override { server_.AddUser("ann", "secret", 4); }
    void TearDown() override { server_.Stop(); }
    ConfigStore& store() { return server_.store(); }

    test::ServerProcess server_;
    test::SimReceiver sim_;
};

TEST_F(TcpOpen, LoginAcceptedThenSharedByTwoClients) {
    ASSERT_TRUE(sim_.Start({"--login", "pw1"}));
    test::AddTcpReceiver(store(), "sim", "TCP 127.0.0.1", sim_.port(), "pw1");
    ASSERT_TRUE(server_.Start());
    auto ann = LoggedIn(server_.port());
    auto bob = LoggedIn(server_.port());
    EXPECT_EQ(ann->Ask("OpenRcv sim", 1, 30), "RE:OK.");
    EXPECT_EQ(bob->Ask("OpenRcv sim", 2, 30), "RE:OK.");
    EXPECT_TRUE(server_.WaitForLog("sim(TCP 127.0.0.1) thread started."));
    EXPECT_EQ(ann->Ask("Command print,/par/rcv/model", 1, 30), "RE00ASIM-GNSS-1");
    EXPECT_EQ(bob->Ask("Command print,/par/rcvid", 2, 30), "RE00BSIM00000001");
    // One connection serves both: the simulator saw a single host.
    EXPECT_EQ(test::CountOf(server_.LogText(), "sim(TCP 127.0.0.1) thread started."), 1u);

    EXPECT_EQ(ann->Ask("CloseRcv", 1, 30), "RE:OK. Send=53");
    EXPECT_EQ(bob->Ask("Command print,/par/rcv/model", 2, 30), "RE00ASIM-GNSS-1");
    // The last close ends the reader, which waits in its long receive, at once.
    const uint32_t start = platform::TickCount();
    EXPECT_EQ(bob->Ask("CloseRcv", 2, 30), "RE:OK. Send=85");
    EXPECT_TRUE(server_.WaitForLog("sim(TCP 127.0.0.1) thread terminated."));
    EXPECT_LT(platform::TickCount() - start, 10000u);
}

TEST_F(TcpOpen, RefusedLoginNamesEverythingReceived) {
    ASSERT_TRUE(sim_.Start({"--login", "right"}));
    test::AddTcpReceiver(store(), "sim", "TCP localhost", sim_.port(), "wrong");
    ASSERT_TRUE(server_.Start());
    auto ann = LoggedIn(server_.port());
    EXPECT_EQ(ann->Ask("OpenRcv sim", 1, 30), "ER:Can't open receiver:sim");
    EXPECT_TRUE(
        server_.WaitForLog("ER:sim(TCP localhost)\r\n\r\nSimulated GNSS receiver\r\n"
                           "login: password: \r\nLogin incorrect\r\n"))
        << server_.LogText();
    EXPECT_EQ(server_.LogText().find("sim(TCP localhost) thread started."), std::string::npos);
    // The handle stayed free: a command on it finds no receiver.
    EXPECT_EQ(ann->Ask("Command print,/par/rcv/model", 1, 30), "ER:Receiver not open!");
}

TEST_F(TcpOpen, WithoutLoginTheGreetingIsDroppedBeforeTheParserSeesIt) {
    // A greeting that reads like a reply: parsed, it would be taken for an answer.
    ASSERT_TRUE(sim_.Start({"--greeting", "RE004JUNK"}));
    test::AddTcpReceiver(store(), "sim", "TCP 127.0.0.1", sim_.port());
    ASSERT_TRUE(server_.Start());
    auto ann = LoggedIn(server_.port());
    EXPECT_EQ(ann->Ask("OpenRcv sim", 1, 30), "RE:OK.");
    EXPECT_EQ(ann->Ask("Command print,/par/rcv/model", 1, 30), "RE00ASIM-GNSS-1");
    EXPECT_EQ(server_.LogText().find("JUNK"), std::string::npos) << server_.LogText();
}

TEST_F(TcpOpen, PortAfterAColonIsIgnoredAndThePortSettingUsed) {
    ASSERT_TRUE(sim_.Start());
    test::AddTcpReceiver(store(), "sim", "TCP 127.0.0.1:1", sim_.port());
    ASSERT_TRUE(server_.Start());
    auto ann = LoggedIn(server_.port());
    EXPECT_EQ(ann->Ask("OpenRcv sim", 1, 30), "RE:OK.");
    EXPECT_TRUE(server_.WaitForLog("sim(TCP 127.0.0.1:1) thread started."));
    EXPECT_EQ(ann->Ask("Command %Loop%", 1, 30), "RE006%Loop%");
}

TEST_F(TcpOpen, ConnectAndHostFailuresAreReportedWithTheLabel) {
    // A port nobody listens on: the simulator's, once it has gone.
    ASSERT_TRUE(sim_.Start());
    const uint16_t dead_port = sim_.port();
    sim_.Stop();
    test::AddTcpReceiver(store(), "gone", "TCP 127.0.0.1", dead_port);
    test::AddTcpReceiver(store(), "nohost", "TCP no-such-host.invalid", dead_port);
    test::AddTcpReceiver(store(), "badport", "TCP 127.0.0.1:5", 70000);
    ASSERT_TRUE(server_.Start());
    auto ann = LoggedIn(server_.port());
    EXPECT_EQ(ann->Ask("OpenRcv gone", 1, 30), "ER:Can't open receiver:gone");
    EXPECT_TRUE(server_.WaitForLog("ER:gone(TCP 127.0.0.1)\tfrom Connect WinSock reply 10061"))
        << server_.LogText();
    EXPECT_EQ(ann->Ask("OpenRcv nohost", 2, 30), "ER:Can't open receiver:nohost");
    EXPECT_TRUE(server_.WaitForLog("ER:nohost(TCP no-such-host.invalid)\tfrom GetHostByName"));
    EXPECT_EQ(ann->Ask("OpenRcv badport", 3, 30), "ER:Can't open receiver:badport");
    EXPECT_TRUE(server_.WaitForLog("ER:badport(TCP 127.0.0.1:5)\tfrom Connect WinSock reply"));
    EXPECT_EQ(server_.LogText().find("thread started."), std::string::npos);
}

// ---- back-off after a failed open, in this process -------------------------------------------

class TcpBackOff : public ::testing::Test {
  protected:
    // The listening port; 0 when the server did not start.
    uint16_t Started() {
        ServerOptions o;
        // Time moves only when the test, or a back-off's sleep, moves it.
        o.tick = [this] { return tick_.load(); };
        o.sleep = [this](uint32_t ms) {
            {
                std::lock_guard<std::mutex> g(mu_);
                sleeps_.push_back(ms);
            }
            tick_ += ms;
        };
        Server* server = local_.Start(o);
        return server != nullptr ? server->ListenPort() : 0;
    }
    std::vector<uint32_t> Sleeps() {
        std::lock_guard<std::mutex> g(mu_);
        return sleeps_;
    }

    std::atomic<uint32_t> tick_{5000001};  // odd: a failure tick is never 0
    std::mutex mu_;
    std::vector<uint32_t> sleeps_;
    test::SimReceiver sim_;
    test::LocalServer local_;  // first to go: its server calls the clock above
};

TEST_F(TcpBackOff, SecondOpenTenSecondsAfterAFailureWaitsThirtySecondsThenRecovers) {
    ASSERT_TRUE(sim_.Start());
    const uint16_t port = sim_.port();
    sim_.Stop();
    test::AddTcpReceiver(local_.store(), "sim", "TCP 127.0.0.1", port);
    auto ann = LoggedIn(Started());
    EXPECT_EQ(ann->Ask("OpenRcv sim", 1, 30), "ER:Can't open receiver:sim");
    EXPECT_TRUE(Sleeps().empty());

    // The receiver is back on the same port, 10 s later.
    test::SimReceiver again;
    ASSERT_TRUE(again.Start({}, port));
    tick_ += 10000;
    EXPECT_EQ(ann->Ask("OpenRcv sim", 1, 30), "RE:OK.");
    EXPECT_NE(local_.LogText().find("sim has not recovered from previous comunications failure. "
                                    "Waiting for 30000 msec."),
              std::string::npos)
        << local_.LogText();
    EXPECT_EQ(Sleeps(), std::vector<uint32_t>{30000});

    // A successful open clears the failure: closing and opening again does not wait.
    EXPECT_EQ(ann->Ask("CloseRcv", 1, 30), "RE:OK. Send=22");
    EXPECT_EQ(ann->Ask("OpenRcv sim", 1, 30), "RE:OK.");
    EXPECT_EQ(Sleeps().size(), 1u);
    EXPECT_EQ(ann->Ask("CloseRcv", 1, 30), "RE:OK. Send=22");
}

TEST_F(TcpBackOff, NoWaitOnceFortySecondsHavePassed) {
    ASSERT_TRUE(sim_.Start());
    const uint16_t port = sim_.port();
    sim_.Stop();
    test::AddTcpReceiver(local_.store(), "sim", "TCP 127.0.0.1", port);
    auto ann = LoggedIn(Started());
    EXPECT_EQ(ann->Ask("OpenRcv sim", 1, 30), "ER:Can't open receiver:sim");
    tick_ += 39000;
    EXPECT_EQ(ann->Ask("OpenRcv sim", 1, 30), "ER:Can't open receiver:sim");
    EXPECT_NE(local_.LogText().find("Waiting for 1000 msec."), std::string::npos);
    tick_ += 40000;
    EXPECT_EQ(ann->Ask("OpenRcv sim", 1, 30), "ER:Can't open receiver:sim");
    EXPECT_EQ(Sleeps(), std::vector<uint32_t>{1000});
}

}  // namespace
}  // namespace orvana
