// Faults the server must ride out, found by probing the server binary with the simulator as its
// receiver.

#include <gtest/gtest.h>

#include <csignal>

#include "admin/admin_requests.h"
#include "tests/streams_harness.h"
#include "tests/tcp_link_harness.h"

namespace orvana {
namespace {

using Resilience = test::StreamsFixture;

// Every frame on a handle that holds an attachment counts, the OpenRcv reply included.
TEST_F(Resilience, BytesSentCountTheRepliesOnTheHandle) {
    Start();
    auto ann = Client("ann");  // "RE:OK." to OpenRcv on handle 1: 6 + 16 bytes
    EXPECT_EQ(Text(ann->Call("Get CList", 0)), admin::ConnectionListHeader());
    EXPECT_EQ(Text(ann->Call("Get CList 2", 0)), "RE:22/");
    EXPECT_EQ(Text(ann->Call("CloseRcv", 1)), "RE:OK. Send=22");
}

// Two commands wait on a receiver that stopped answering (its simulator is frozen): the second
// waits for the first. Nobody else may wait with them.
TEST_F(Resilience, CommandsToAFrozenReceiverHoldUpNobodyElse) {
    simtest::Sim frozen;
    auto port = frozen.StartTcp({});
    ASSERT_TRUE(port);
    test::AddTcpReceiver(server_.store(), "Frozen", "TCP 127.0.0.1", *port);
    Start();
    auto base = Client("bob");  // Base1 open and shared from here on
    test::StreamClient first, second;
    for (test::StreamClient* c : {&first, &second}) {
        ASSERT_TRUE(c->Connect(server_.port()));
        ASSERT_EQ(Text(c->Call("OpenUsr ann secret", 0)), "RE:OK.");
        ASSERT_EQ(Text(c->Call("OpenRcv Frozen", 1)), "RE:OK.");
    }
    ASSERT_TRUE(frozen.process().Signal(SIGSTOP));
    ASSERT_TRUE(first.raw().Request("Command print,/par/rcv/model", 1));
    ASSERT_TRUE(server_.WaitForLog("Frozen < print,/par/rcv/model"));
    ASSERT_TRUE(second.raw().Request("Command print,/par/rcvid", 1));
    platform::SleepMs(300);

    const uint32_t start = platform::TickCount();
    test::StreamClient other;
    ASSERT_TRUE(other.Connect(server_.port()));
    EXPECT_EQ(Text(other.Call("OpenUsr bob secret", 0, 5)), "RE:OK.");
    EXPECT_EQ(Text(other.Call("OpenRcv Base1", 1, 5)), "RE:OK.");
    EXPECT_EQ(Text(other.Call("Command %9%print,/par/rcv/model", 1, 5)).substr(5, 3), "%9%");
    EXPECT_EQ(Text(other.Call("Attach 0,RT:1", 1, 5)), "RE:OK.");
    EXPECT_EQ(Text(base->Call("CloseRcv", 1, 5)).substr(0, 12), "RE:OK. Send=");
    EXPECT_LT(platform::TickCount() - start, 10000u);

    ASSERT_TRUE(frozen.process().Signal(SIGCONT));
    EXPECT_EQ(Text(first.NextReply(30)).substr(0, 2), "RE");
}

}  // namespace
}  // namespace orvana
