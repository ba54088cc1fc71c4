// A TCP receiver that fails while clients hold it, through the server binary: one that goes
// silent is given up after four reply time-outs, one that closes its connection releases its
// clients at once; every client gets the connection-lost notice.

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "tests/tcp_link_harness.h"

namespace orvana {
namespace {

using test::FrameOfType;
using test::LoggedIn;
using test::Text;

constexpr unsigned kLostNotice = 0xC00;
const char* const kNotice = "ER:Connection lost to receiver:sim";

class TcpLost : public ::testing::Test {
  protected:
    void SetUp() override { server_.AddUser("ann", "secret", 4); }
    void TearDown() override { server_.Stop(); }
    // Three clients holding the receiver open, on handles 1, 2 and 1.
    void OpenThree(std::vector<std::string> env = {}) {
        ASSERT_TRUE(sim_.Start({"--login", "pw"}));
        test::AddTcpReceiver(server_.store(), "sim", "TCP 127.0.0.1", sim_.port(), "pw");
        ASSERT_TRUE(server_.Start(std::move(env)));
        for (size_t i = 0; i < 3; ++i) {
            const uint8_t h = Handle(i);
            clients_.push_back(LoggedIn(server_.port()));
            ASSERT_EQ(Text(clients_.back()->Call("OpenRcv sim", h, 30)), "RE:OK.");
        }
    }

    static uint8_t Handle(size_t client) { return client == 1 ? 2 : 1; }

    test::ServerProcess server_;
    test::SimReceiver sim_;
    std::vector<std::unique_ptr<test::TestClient>> clients_;
};

TEST_F(TcpLost, SilentReceiverIsGivenUpAfterFourTimeoutsAndEveryClientNotified) {
    OpenThree({"ORVANA_COMMAND_REPLY_MS=300"});
    test::TestClient& ann = *clients_[0];
    EXPECT_EQ(Text(ann.Call("Command print,/par/rcv/model", 1, 30)), "RE00ASIM-GNSS-1");
    ASSERT_TRUE(sim_.Freeze());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Text(ann.Call("Command print,/par/rcv/model", 1, 30)),
                  "ER:Receiver reply timeout!");
    EXPECT_EQ(server_.LogText().find("Delete receiver:sim"), std::string::npos);

    // The fourth: the receiver is given up and its clients released.
    ASSERT_TRUE(ann.Request("Command print,/par/rcv/model", 1));
    for (size_t i = 0; i < clients_.size(); ++i) {
        auto f = FrameOfType(*clients_[i], kLostNotice, 30);
        ASSERT_TRUE(f) << "client " << i;
        EXPECT_EQ(f->data, kNotice);
        EXPECT_EQ(f->handle, Handle(i));
    }
    EXPECT_EQ(Text(ann.NextReply(30)), "ER:Receiver reply timeout!");
    EXPECT_TRUE(server_.WaitForLog("Delete receiver:sim"));
    EXPECT_TRUE(server_.WaitForLog("Clear all resource use receiver=sim"));
    EXPECT_TRUE(server_.WaitForLog("sim(TCP 127.0.0.1) thread terminated."));
    // The handles are free again.
    for (size_t i = 0; i < clients_.size(); ++i)
        EXPECT_EQ(Text(clients_[i]->Call("CloseRcv", Handle(i), 30)), "ER:Receiver not open!");
}

TEST_F(TcpLost, ReceiverThatClosesItsConnectionReleasesItsClientsAtOnce) {
    OpenThree();
    const uint32_t start = platform::TickCount();
    sim_.Stop();
    // Nobody sends anything: without the link's own verdict the clients would wait for the
    // reply time-outs of commands they have not sent.
    for (size_t i = 0; i < clients_.size(); ++i) {
        auto f = FrameOfType(*clients_[i], kLostNotice, 10);
        ASSERT_TRUE(f) << "client " << i;
        EXPECT_EQ(f->data, kNotice);
        EXPECT_EQ(f->handle, Handle(i));
    }
    const uint32_t took = platform::TickCount() - start;
    RecordProperty("release_ms", static_cast<int>(took));
    EXPECT_TRUE(server_.WaitForLog("sim(TCP 127.0.0.1) connection closed by the receiver"));
    EXPECT_TRUE(server_.WaitForLog("sim(TCP 127.0.0.1) thread terminated."));
    EXPECT_EQ(Text(clients_[0]->Call("Command print,/par/rcv/model", 1, 30)),
              "ER:Receiver not open!");

    // The receiver can be opened again once it is back (on another port: the old one lingers
    // in TIME_WAIT on the side that closed).
    test::SimReceiver again;
    ASSERT_TRUE(again.Start({"--login", "pw"}));
    server_.store().WriteNumber(std::string(cfg::kInterfaceKey) + "TCP 127.0.0.1", cfg::kPort.name,
                                again.port());
    EXPECT_EQ(Text(clients_[0]->Call("OpenRcv sim", 1, 60)), "RE:OK.");
    EXPECT_EQ(Text(clients_[0]->Call("Command %Loop%", 1, 30)), "RE006%Loop%");
}

}  // namespace
}  // namespace orvana
