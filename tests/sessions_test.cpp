// Client sessions over real sockets: the 128 slots with slot 0 kept for the built-in client, the
// first-frame rule, the keep-alive cycle, a client that stops reading, shutdown, and the frame
// buffer of a session.

#include <gtest/gtest.h>

#include <thread>

#include "core/login.h"
#include "core/server.h"
#include "tests/server_harness.h"
#include "tests/support/namespace_rerun.h"

namespace orvana {
namespace {

using test::ServerProcess;
using test::TestClient;

std::unique_ptr<TestClient> Connected(uint16_t port, const std::string& host = "127.0.0.1") {
    auto c = std::make_unique<TestClient>();
    EXPECT_TRUE(c->Connect(port, host));
    return c;
}

TEST(Sessions, TheHundredTwentyEighthNetworkClientIsRefusedWhileSlotZeroStaysFree) {
    ServerProcess server;
    server.AddUser(kDemonUser, kSystemPassword, kSystemUserCount);
    ASSERT_TRUE(server.Start());
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 127; ++i) {
        clients.push_back(Connected(server.port()));
        auto f = clients.back()->Call("Ping");
        ASSERT_TRUE(f) << "client " << i;
        ASSERT_EQ(f->data, "RE:OK.");
    }
    auto extra = Connected(server.port());
    ASSERT_TRUE(extra->Request("Ping"));
    auto f = extra->ReadFrame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->raw.substr(0, 11), "002e0000000");
    EXPECT_EQ(f->data, "ER:Don't have place for client");
    EXPECT_TRUE(extra->WaitClosed(5));
    EXPECT_TRUE(server.WaitForLog("ER:Don't have place for client=127.0.0.1:"));

    // The built-in client's login still finds slot 0.
    auto built_in = Connected(server.port());
    f = built_in->Call(Server::kBuiltInLogin);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->data, "RE:OK.");
    // Existing clients keep being served.
    EXPECT_EQ(clients.front()->Call("Ping")->data, "RE:OK.");
}

TEST(Sessions, SilentClientIsDroppedAfterTheFirstFrameWaitAndATalkerChats) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"ORVANA_FIRST_FRAME_MS=300"}));
    auto silent = Connected(server.port());
    EXPECT_TRUE(silent->WaitClosed(10));
    // No session was made for it.
    EXPECT_EQ(server.LogText().find("New Client"), std::string::npos);
    auto talker = Connected(server.port());
    EXPECT_EQ(talker->Ask("Ping"), "RE:OK.");
    // A chat line goes to the event log, as there is no console.
    auto f = talker->Call("Chat hello operator");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->data, "RE:OK.");
    EXPECT_EQ(f->code, 1u);
    EXPECT_TRUE(server.WaitForLog("hello operator"));
}

TEST(Sessions, KeepAliveDropsClientsThatNeverLoggedInAndPingsTheOthers) {
    // The first cycle runs at the thread's start, before any client; clients meet the second,
    // by when the anonymous one has had its time to log in.
    ServerProcess fast;
    fast.AddUser("ann", "pw", 5);
    fast.AddUser(kDemonUser, kSystemPassword, kSystemUserCount);
    ASSERT_TRUE(fast.Start({"ORVANA_KEEPALIVE_FIRST_MS=1500", "ORVANA_KEEPALIVE_PERIOD_MS=600000",
                            "ORVANA_FIRST_FRAME_MS=500"}));
    auto anonymous = Connected(fast.port());
    auto user = Connected(fast.port());
    auto built_in = Connected(fast.port());
    ASSERT_EQ(anonymous->Call("Ping")->data, "RE:OK.");
    ASSERT_EQ(user->Call("OpenUsr ann pw")->data, "RE:OK.");
    ASSERT_EQ(built_in->Call(Server::kBuiltInLogin)->data, "RE:OK.");

    auto ping = user->ReadFrame(10);
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->type, 0x600u);
    EXPECT_EQ(ping->data, "Ping");
    EXPECT_EQ(ping->raw.substr(0, 11), "00146000000");
    EXPECT_TRUE(anonymous->WaitClosed(10));
    // The built-in client is neither pinged nor dropped.
    EXPECT_FALSE(built_in->ReadFrame(1));
    EXPECT_EQ(built_in->Call("Ping")->data, "RE:OK.");
    EXPECT_TRUE(fast.WaitForLog("never logged in"));
}

TEST(Sessions, ClientStillLoggingInIsNotDroppedByACycle) {
    // Cycles every 200 ms, and a client that connects just after start-up has not logged in
    // yet when the next cycle comes: it keeps its first-frame wait of 20 s to do so.
    ServerProcess server;
    server.AddUser("ann", "pw", 5);
    ASSERT_TRUE(server.Start({"ORVANA_KEEPALIVE_FIRST_MS=200", "ORVANA_KEEPALIVE_PERIOD_MS=200"}));
    auto early = Connected(server.port());
    ASSERT_EQ(early->Call("Ping")->data, "RE:OK.");
    ASSERT_TRUE(test::WaitUntil(
        [&] { return test::CountOf(server.LogText(), "Pinging client.") >= 4; }, 10000));
    auto f = early->Call("OpenUsr ann pw");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->data.substr(0, 3), "RE:");
    EXPECT_EQ(server.LogText().find("never logged in"), std::string::npos);
}

TEST(Sessions, ClientThatStopsReadingDoesNotDelayTheOthersAndIsDroppedInTheEnd) {
    ServerProcess server;
    server.AddUser("ann", "pw", 5);
    // Long names make GetRcvList replies of a few kilobytes, which fill the socket buffers.
    for (int i = 0; i < 60; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "Receiver-with-a-long-name-for-filling-buffers-%02d", i);
        server.AddReceiver(name);
    }
    // What waits for a client may wait 3 s before it is cut off.
    server.store().WriteNumber(cfg::kActiveKey, cfg::kClientQueueSeconds.name, 3);
    ASSERT_TRUE(server.Start({"ORVANA_SEND_LIMIT_MS=6000"}));
    auto stuck = Connected(server.port());
    auto other = Connected(server.port());
    ASSERT_EQ(stuck->Call("OpenUsr ann pw")->code, 61u);
    ASSERT_EQ(other->Call("OpenUsr ann pw")->code, 61u);
    // About a megabyte of replies: more than the kernel buffers on both ends hold.
    for (int i = 0; i < 400; ++i) {
        if (!stuck->Request("GetRcvList")) break;
        platform::SleepMs(2);
    }
    // The stuck client's replies wait in its queue; the other is answered at once.
    const uint32_t start = platform::TickCount();
    for (int i = 0; i < 5; ++i) {
        auto f = other->Call("Ping", 0, 3);
        ASSERT_TRUE(f) << "reply " << i << " was held up";
        EXPECT_EQ(f->data, "RE:OK.");
    }
    EXPECT_LT(platform::TickCount() - start, 3000u);
    // Its oldest reply waits too long: the stuck client is cut off, its connection broken.
    EXPECT_TRUE(server.WaitForLog("from Read/Write Socket reply 10060", 15000)) << server.LogText();
    EXPECT_TRUE(stuck->WaitClosed(10));
}

TEST(Sessions, ShutdownSendsOneTerminationFrameToEveryClient) {
    ServerProcess server;
    server.AddUser("ann", "pw", 5);
    ASSERT_TRUE(server.Start({"ORVANA_SHUTDOWN_PAUSE_MS=2000"}));
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(Connected(server.port()));
        ASSERT_EQ(clients.back()->Call(i == 0 ? "Ping" : "OpenUsr ann pw")->data, "RE:OK.");
    }
    auto status = server.Stop();
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0);
    for (auto& c : clients) {
        auto f = c->ReadFrame(5);
        ASSERT_TRUE(f);
        EXPECT_EQ(f->type, 0xF00u);
        EXPECT_EQ(f->handle, 0u);
        EXPECT_EQ(f->code, 0u);
        EXPECT_EQ(f->data, "ER:Server terminated!");
        EXPECT_FALSE(c->ReadFrame(1));
        EXPECT_TRUE(c->WaitClosed(5));
    }
    const std::string log = server.LogText();
    EXPECT_NE(log.find("Client=127.0.0.1:"), std::string::npos);
    EXPECT_NE(log.find("ER:Server terminated!"), std::string::npos);
    EXPECT_NE(log.find("**** Stop Log "), std::string::npos);
}

// In a network namespace of its own, with an extra address on its loopback interface, the
// built-in login arrives from a non-loopback address.
TEST(Sessions, BuiltInLoginFromANonLoopbackAddressIsRefused) {
    if (test::RerunInNamespace("-rn")) return;
    if (test::Shell("ip link set lo up && ip addr add 10.77.0.1/8 dev lo") != 0)
        GTEST_SKIP() << "cannot add an address in the namespace";
    ServerProcess server;
    server.AddUser(kDemonUser, kSystemPassword, kSystemUserCount);
    server.AddUser("ann", "pw", 5);
    ASSERT_TRUE(server.Start());
    auto far = Connected(server.port(), "10.77.0.1");
    auto f = far->Call(Server::kBuiltInLogin);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->data, "ER:Cannot find user.");
    EXPECT_EQ(far->Call("OpenUsr Script Zelmar")->data, "ER:Cannot find user.");
    EXPECT_EQ(far->Call("OpenUsr ann pw")->data, "RE:OK.");
    EXPECT_TRUE(server.WaitForLog("ER:System user Demon refused from 10.77.0.1:"));
    auto near = Connected(server.port(), "127.0.0.1");
    EXPECT_EQ(near->Call(Server::kBuiltInLogin)->data, "RE:OK.");
}

// Idle connections use up the server's descriptors: accepting fails for a while, and goes on
// once they are gone.
TEST(Sessions, AcceptGoesOnAfterRunningOutOfDescriptors) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizer runtimes need descriptors of their own: out of them, UBSan's check of a
    // dynamic type cannot open its pipe and reports every ending std::thread state as of no
    // type. The plain build runs this test.
    GTEST_SKIP() << "a sanitized process out of descriptors reports the sanitizer's own failures";
#endif
    ServerProcess server;
    server.AddUser("ann", "pw", 4);
    ASSERT_TRUE(server.Start({}, {}, {"/usr/bin/prlimit", "--nofile=48"}));
    std::vector<std::unique_ptr<TestClient>> idle;
    for (int i = 0; i < 64; ++i) {
        idle.push_back(std::make_unique<TestClient>());
        ASSERT_TRUE(idle.back()->Connect(server.port()));
    }
    ASSERT_TRUE(server.WaitForLog("from Accept WinSock reply", 10000));
    idle.clear();
    TestClient late;
    ASSERT_TRUE(late.Connect(server.port()));
    EXPECT_EQ(late.Ask("OpenUsr ann pw", 0, 15), "RE:OK.")
        << server.LogText() << server.process().Stderr();
    EXPECT_TRUE(server.WaitForLog("Accept works again after"));
    EXPECT_EQ(test::CountOf(server.LogText(), "from Accept WinSock reply"), 1u);
}

}  // namespace
}  // namespace orvana
