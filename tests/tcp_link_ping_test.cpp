// "Ping NAME" through the server binary: an ICMP echo to a TCP receiver's host (a raw socket
// when the server may open one, else the unprivileged datagram kind), and the refusals for
// other kinds and unknown names.

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>

#include "links/tcp_ping.h"
#include "platform/icmp.h"
#include "tests/tcp_link_harness.h"

namespace orvana {
namespace {

using test::LoggedIn;
using test::Text;

// Whether this process may send ICMP echoes at all (the server runs as the same user).
bool IcmpPermitted() {
    platform::IcmpSocket probe;
    return probe.Open(platform::IcmpProtocolNumber(), 1000);
}

TEST(EchoRequest, CarriesTypeIdentifierTickAndAChecksumThatSumsToZero) {
    uint8_t request[kEchoSize];
    ASSERT_TRUE(BuildEchoRequest(0x01020304u, request));
    EXPECT_EQ(request[0], 8);
    EXPECT_EQ(request[1], 0);
    EXPECT_EQ((request[4] << 8) | request[5], 12345);
    EXPECT_EQ((request[6] << 8) | request[7], 0);
    uint32_t tick = 0;
    std::memcpy(&tick, request + 8, 4);
    EXPECT_EQ(tick, 0x01020304u);
    // A receiver checks the sum over the whole message, checksum included.
    EXPECT_EQ(InternetChecksum(request, sizeof request), 0);
    // Odd lengths pad with a zero byte.
    const uint8_t odd[3] = {0x12, 0x34, 0x56};
    EXPECT_EQ(InternetChecksum(odd, 3), static_cast<uint16_t>(~(0x1234 + 0x5600)));
}

class TcpPing : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.AddUser("ann", "secret", 4);
        server_.AddUser("bob", "secret", 4, "other,");
        ASSERT_TRUE(sim_.Start());
        test::AddTcpReceiver(server_.store(), "sim", "TCP 127.0.0.1:99", sim_.port());
        test::AddTcpReceiver(server_.store(), "nohost", "TCP no-such-host.invalid", 8002);
        server_.store().WriteText("Receivers\\serial", cfg::kInterface.name, "COM 1");
        server_.store().WriteFlag("Receivers\\serial", cfg::kEnableRcv.name, true);
        server_.store().WriteText("Receivers\\odd", cfg::kInterface.name, "PIGEON 1");
        ASSERT_TRUE(server_.Start());
    }
    void TearDown() override { server_.Stop(); }

    test::ServerProcess server_;
    test::SimReceiver sim_;
};

TEST_F(TcpPing, SimulatorsAddressAnswersWithTheRoundTrip) {
    if (!IcmpPermitted()) GTEST_SKIP() << "neither raw nor datagram ICMP sockets are permitted";
    auto ann = LoggedIn(server_.port());
    auto f = ann->Call("Ping  sim ", 0, 10);
    ASSERT_TRUE(f);
    ASSERT_EQ(f->data.substr(0, 3), "RE:") << f->data;
    const std::string ms = f->data.substr(3);
    ASSERT_FALSE(ms.empty());
    for (char c : ms) EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c))) << f->data;
    EXPECT_LT(std::stoul(ms), 1000u);
    EXPECT_EQ(f->code, 1u);
}

TEST_F(TcpPing, RefusalsForOtherKindsUnknownNamesAndHostsThatCannotBePinged) {
    auto ann = LoggedIn(server_.port());
    auto f = ann->Call("Ping serial", 0, 10);
    EXPECT_EQ(Text(f), "ER:Type");
    EXPECT_EQ(f->code, 0u);
    EXPECT_EQ(ann->Ask("Ping nothing", 0, 10), "ER:Can't find receiver.");
    EXPECT_EQ(ann->Ask("Ping odd", 0, 10), "ER:Can't find receiver.");
    EXPECT_EQ(ann->Ask("Ping nohost", 0, 10), "ER:Don't ping");
    // Without the receiver in the access list it does not exist for the client.
    auto bob = LoggedIn(server_.port(), "bob");
    EXPECT_EQ(bob->Ask("Ping sim", 0, 10), "ER:Can't find receiver.");
    // Without a name it is the no-op.
    f = ann->Call("Ping", 0, 10);
    EXPECT_EQ(Text(f), "RE:OK.");
    EXPECT_EQ(f->code, 1u);
    // A made-up name leaves no receiver key behind.
    EXPECT_FALSE(server_.store().KeyExists("Receivers\\nothing"));
}

}  // namespace
}  // namespace orvana
