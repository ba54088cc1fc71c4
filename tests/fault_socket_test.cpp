// Socket faults under the running server, injected through the platform Env: sends that take a
// few bytes at a time or nothing for a while, a connection that breaks half-way through a frame,
// accepts out of descriptors, and session threads that cannot start. The server runs in the
// test's process with an orvanasim receiver on TCP; clients connect over the loopback.

#include <gtest/gtest.h>

#include <cerrno>
#include <set>

#include "platform/env.h"
#include "tests/orvanasim_harness.h"
#include "tests/streams_harness.h"
#include "tests/support/fault_env.h"
#include "tests/tcp_link_harness.h"

namespace orvana {
namespace {

using test::DataFrame;
using test::Steps;
using test::StreamClient;
using test::Text;

class SocketFaults : public ::testing::Test {
  protected:
    // The server with the receiver "sim"; its listening port.
    uint16_t Start(ServerOptions options = {}) {
        sim_port_ = sim_.StartTcp({});
        EXPECT_TRUE(sim_port_);
        test::AddTcpReceiver(local_.store(), "sim", "TCP 127.0.0.1", sim_port_.value_or(0));
        options.accept_retry_ms = 100;
        EXPECT_TRUE(local_.Start(options));
        return local_.server().ListenPort();
    }
    std::unique_ptr<StreamClient> Attached(uint16_t port, const std::string& messages) {
        auto c = test::LoggedInStream(port, "ann");
        EXPECT_EQ(Text(c->Call("OpenRcv sim", 1, 30)), "RE:OK.");
        EXPECT_EQ(Text(c->Call("Attach 0," + messages, 1)), "RE:OK.");
        return c;
    }
    static void ExpectWholeAndInOrder(StreamClient& c) {
        const auto frames = test::SinceLastRestart(c.data(), "jps/RT");
        ASSERT_GE(frames.size(), 10u);
        EXPECT_EQ(Steps(frames), std::set<uint32_t>{1});
        for (const DataFrame& d : c.data()) EXPECT_TRUE(d.checksum_ok);
    }

    // Declared first, gone last: everything below runs on it.
    test::FaultEnv env_;
    platform::ScopedEnv scoped_{env_};
    simtest::Sim sim_;
    std::optional<uint16_t> sim_port_;
    test::LocalServer local_;
};

TEST_F(SocketFaults, SendsOfAFewBytesAfterEagainStormsDeliverEveryFrameWhole) {
    const uint16_t port = Start();
    auto ann = Attached(port, "RT:0.1");
    // Every send of the server: seven bytes at most, each after three refusals; then storms of
    // five hundred refusals before each 64-byte piece.
    env_.ShapeSends(port, 7, 3);
    ASSERT_GE(ann->ReadData(20, 30), 20u);
    EXPECT_EQ(Text(ann->Call("Command print,/par/rcvid", 1, 30)).substr(0, 5), "RE00B");
    env_.ShapeSends(port, 64, 500);
    ASSERT_GE(ann->ReadData(40, 60), 40u);
    env_.ClearSends();
    EXPECT_GT(env_.sends_shaped(), 1000);
    ExpectWholeAndInOrder(*ann);
    EXPECT_EQ(Text(ann->Call("CloseRcv", 1, 30)).substr(0, 6), "RE:OK.");
}

// Sockets that keep saying they are ready and then take nothing. A receiver is given up within
// the send limit and its clients are told; a client is cut off when what waits for it is older
// than its queue's bound.
TEST_F(SocketFaults, ASocketThatNeverTakesAByteIsGivenUpWithinItsBound) {
    ServerOptions options;
    options.send_limit_ms = 2000;
    local_.store().WriteNumber(cfg::kActiveKey, cfg::kClientQueueSeconds.name, 2);
    const uint16_t port = Start(options);
    auto ann = Attached(port, "RT:0.1");
    auto bob = Attached(port, "RT:0.1");
    ASSERT_GE(ann->ReadData(2), 2u);

    env_.ShapeSends(*sim_port_, 7, 1 << 30, true);
    ASSERT_TRUE(ann->raw().Request("Command print,/par/rcvid", 1));
    auto lost = bob->WaitNotice(0xC00, 60);
    ASSERT_TRUE(lost.has_value()) << local_.LogText();
    EXPECT_EQ(lost->data, "ER:Connection lost to receiver:sim");

    env_.ShapeSends(port, 7, 1 << 30);
    for (auto* c : {ann.get(), bob.get()}) ASSERT_TRUE(c->raw().Request("Ping"));
    EXPECT_TRUE(ann->raw().WaitClosed(30));
    EXPECT_TRUE(bob->raw().WaitClosed(30));
    env_.ClearSends();
    EXPECT_TRUE(local_.WaitForLog("Read/Write Socket reply 10060"));
    auto carl = Attached(port, "RT:0.5");
    EXPECT_GE(carl->ReadData(2, 30), 2u);
}

TEST_F(SocketFaults, AConnectionBrokenHalfWayThroughAFrameLosesOnlyThatClient) {
    const uint16_t port = Start();
    auto ann = Attached(port, "RT:0.1");
    auto bob = Attached(port, "RT:0.1");
    ASSERT_GE(ann->ReadData(3), 3u);
    // Ann's connection breaks 30 bytes into what the server sends her next.
    const uint16_t ann_port = ann->raw().socket().LocalEndpoint().port;
    env_.CutSendsTo(ann_port, 30);
    EXPECT_TRUE(ann->raw().WaitClosed(30));
    EXPECT_TRUE(local_.WaitForLog("Read/Write Socket reply 10054"));
    // Bob reads on, missing nothing, and new clients are served.
    bob->data().clear();
    ASSERT_GE(bob->ReadData(20, 30), 20u);
    ExpectWholeAndInOrder(*bob);
    auto carl = Attached(port, "RT:0.5");
    EXPECT_GE(carl->ReadData(2, 30), 2u);
    env_.ClearSends();
}

TEST_F(SocketFaults, AcceptsOutOfDescriptorsPauseAndRecover) {
    const uint16_t port = Start();
    env_.FailAccepts(EMFILE, 5);
    // The accept under way when the descriptors ran out still gets its client; the next ones
    // fail until descriptors are back.
    test::TestClient first;
    ASSERT_TRUE(first.Connect(port));
    EXPECT_EQ(first.Ask("OpenUsr ann secret tests", 0, 30), "RE:OK.");
    ASSERT_TRUE(test::WaitUntil([&] { return env_.accepts_failed() == 5; }, 30000));
    test::TestClient late;
    ASSERT_TRUE(late.Connect(port));
    EXPECT_EQ(late.Ask("OpenUsr ann secret tests", 0, 30), "RE:OK.") << local_.LogText();
    EXPECT_TRUE(local_.WaitForLog("Accept works again after 5 failed tries"));
    // One report for the run of failures, not one per failure.
    EXPECT_EQ(test::CountOf(local_.LogText(), "from Accept WinSock reply"), 1u);
}

TEST_F(SocketFaults, ASessionThreadThatCannotStartTurnsAwayOneClientNotTheServer) {
    const uint16_t port = Start();
    env_.FailThreadStarts(2);
    // The acceptor cannot hand over: its client is turned away and it accepts again.
    std::string reply;
    for (int i = 0; i < 10 && reply != "RE:OK."; ++i) {
        test::TestClient c;
        ASSERT_TRUE(c.Connect(port));
        reply = c.Ask("OpenUsr ann secret tests", 0, 10);
    }
    EXPECT_EQ(reply, "RE:OK.");
    EXPECT_EQ(env_.threads_refused(), 2);
    EXPECT_EQ(test::CountOf(local_.LogText(), "ER:Can't start a session thread ("), 2u);
}

// Without its client writer or its first acceptor a server would run deaf: the start fails
// instead, and a later start works.
TEST(ServerStart, FailsWhenTheClientWriterOrTheFirstAcceptorCannotStart) {
    test::FaultEnv env;
    platform::ScopedEnv scoped(env);
    test::TempStore home;
    home.store->WriteText(cfg::kActiveKey, cfg::kPortServer.name, "0");
    ServerOptions options;
    options.home = home.dir.path();
    options.shutdown_pause_ms = 200;
    Server server(*home.store, options);
    env.FailThreadStarts(1);
    EXPECT_FALSE(server.StartServer(""));
    EXPECT_EQ(env.threads_refused(), 1);
    EXPECT_NE(test::EventLogText(home.dir.path()).find("ER:Can't start the client writer ("),
              std::string::npos);

    env.FailThreadStarts(1, 1);  // the writer starts, the acceptor does not
    EXPECT_FALSE(server.StartServer(""));
    EXPECT_EQ(env.threads_refused(), 2);
    EXPECT_NE(test::EventLogText(home.dir.path()).find("ER:Can't start a session thread ("),
              std::string::npos);

    ASSERT_TRUE(server.StartServer(""));
    test::TestClient client;
    ASSERT_TRUE(client.Connect(server.ListenPort()));
    EXPECT_EQ(client.Ask("Ping", 0, 10), "RE:OK.");
    server.StopServer();
}

}  // namespace
}  // namespace orvana
