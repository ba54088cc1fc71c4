// The simulator's data output and its fault options, read from a real TCP connection the way the
// server's stream parser reads a receiver.

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <string>
#include <vector>

#include "tests/orvanasim_harness.h"

namespace orvana {
namespace {

using simtest::Container;
using simtest::TcpHost;
using simtest::TcpSession;

// Containers until `ms` have passed; any reply in between goes to `replies`.
std::vector<Container> ReadContainers(TcpHost& h, uint32_t ms,
                                      std::vector<std::string>* replies = nullptr) {
    std::vector<Container> out;
    const uint32_t start = platform::TickCount();
    for (;;) {
        const uint32_t spent = platform::TickCount() - start;
        if (spent >= ms) break;
        auto m = h.NextMessage(ms - spent);
        if (!m) break;
        if (m->compare(0, 2, ">>") == 0) {
            out.push_back(simtest::ParseContainer(*m));
        } else if (replies) {
            replies->push_back(*m);
        }
    }
    return out;
}

TEST(SimOutput, ContainersCarryIndexNameChecksumAndContinuousCountersAtThePeriod) {
    TcpSession s;
    ASSERT_TRUE(s.Open({"--time-scale", "10"}));
    TcpHost& h = s.host;
    // RT with the host's own index 6 (index byte 5); PO and GGA with the receiver's numbering:
    // jps/ from 1, then cmr/, nmea/ (GGA is 8 + 3 + 1).
    ASSERT_EQ(h.Ask("%em%em,,jps/RT:{1.0,0,-6},jps/PO:0.5,nmea/GGA:{2}\r\n"), "RE004%em%");
    const uint32_t start = platform::TickCount();
    auto got = ReadContainers(h, 2000);
    const uint32_t elapsed = platform::TickCount() - start;

    const std::map<std::string, unsigned> index = {{"jps/RT", 5}, {"jps/PO", 2}, {"nmea/GGA", 12}};
    std::map<std::string, long> count;
    long stream = 0;
    for (const Container& c : got) {
        EXPECT_TRUE(c.checksum_ok);
        ASSERT_EQ(index.count(c.name()), 1u) << c.payload;
        EXPECT_EQ(c.index, index.at(c.name()));
        EXPECT_EQ(c.message_sequence(), ++count[c.name()]) << c.name();
        EXPECT_EQ(c.stream_sequence(), ++stream);
    }
    // Periods 50, 100 and 200 ms after the time scale: never more than the clock allows, and
    // the faster message always ahead of the slower one.
    EXPECT_GE(count["nmea/GGA"], 3);
    EXPECT_LE(count["jps/PO"], elapsed / 50 + 2);
    EXPECT_LE(count["jps/RT"], elapsed / 100 + 2);
    EXPECT_LE(count["nmea/GGA"], elapsed / 200 + 2);
    EXPECT_GT(count["jps/PO"], count["jps/RT"]);
    EXPECT_GT(count["jps/RT"], count["nmea/GGA"]);

    // dm of one message stops only it; the counters of the rest run on without a gap.
    ASSERT_TRUE(h.Send("%dm%dm,,jps/PO\r\n"));
    bool answered = false;
    const uint32_t dm_at = platform::TickCount();
    while (platform::TickCount() - dm_at < 800) {
        auto m = h.NextMessage(1000);
        ASSERT_TRUE(m);
        if (m->compare(0, 2, ">>") != 0) {
            EXPECT_EQ(*m, "RE004%dm%");
            answered = true;
            continue;
        }
        Container c = simtest::ParseContainer(*m);
        EXPECT_EQ(c.stream_sequence(), ++stream);
        EXPECT_EQ(c.message_sequence(), ++count[c.name()]);
        if (answered) {
            EXPECT_NE(c.name(), "jps/PO");
        }
    }
    EXPECT_TRUE(answered);
    // An empty dm list stops everything.
    ASSERT_TRUE(h.Send("dm\r\n"));
    ReadContainers(h, 300);
    h.got.clear();
    h.Collect(500);
    EXPECT_EQ(h.got, "");
}

TEST(SimOutput, PayloadSizeOtherPortsAndUnknownMessages) {
    TcpSession s;
    ASSERT_TRUE(s.Open({"--time-scale", "20", "--payload-size", "100"}));
    TcpHost& h = s.host;
    EXPECT_EQ(h.Ask("%q%em,,jps/XX\r\n"), "ER01D%q%{5,unknown message jps/XX}");
    // Output on another port of the receiver goes nowhere this host can see.
    EXPECT_EQ(h.Ask("%o%em,/dev/ser/b,jps/RT:0.1\r\n"), "RE003%o%");
    h.Collect(400);
    EXPECT_EQ(h.got, "");
    // Its own terminal named in full is the same as the empty port.
    ASSERT_EQ(h.Ask("%e%em,/dev/tcp/a,rtcm/1004:1\r\n"), "RE003%e%");
    auto m = h.NextMessage();
    ASSERT_TRUE(m);
    Container c = simtest::ParseContainer(*m);
    EXPECT_TRUE(c.checksum_ok);
    EXPECT_EQ(c.name().substr(0, 9), "rtcm/1004");
    EXPECT_EQ(c.payload.size(), 100u);
    EXPECT_EQ(c.payload.back(), '.');
    EXPECT_EQ(c.index, 17u);
}

TEST(SimOutput, Sigusr1SwitchesTheFloodOnAndSigusr2OffAgain) {
    TcpSession s;
    ASSERT_TRUE(s.Open({"--stamp"}));
    TcpHost& h = s.host;
    ASSERT_EQ(h.Ask("%e%em,,jps/RT:1\r\n"), "RE003%e%");
    EXPECT_LE(ReadContainers(h, 500).size(), 2u);
    s.sim.process().Signal(SIGUSR1);
    EXPECT_GT(ReadContainers(h, 1000).size(), 200u);
    s.sim.process().Signal(SIGUSR2);
    // What the flood left in the socket buffers drains; then the period rules again: a second
    // with at most two containers.
    bool paced = false;
    for (int i = 0; i < 20 && !paced; ++i) paced = ReadContainers(h, 1000).size() <= 2;
    EXPECT_TRUE(paced);
}

TEST(SimFaults, SilentAnswersNothingAndSendsNoData) {
    TcpSession s;
    ASSERT_TRUE(s.Open({"--silent", "--time-scale", "20"}));
    ASSERT_TRUE(s.host.Send("%Loop%\r\n%em%em,,jps/RT:0.1\r\n"));
    s.host.Collect(700);
    EXPECT_EQ(s.host.got, "");
    EXPECT_TRUE(s.sim.process().Running());
}

TEST(SimFaults, WrongTagAndReplyDelayHoldTheAnswerBackUnderAnotherTag) {
    TcpSession s;
    ASSERT_TRUE(s.Open({"--wrong-tag", "--reply-delay", "700"}));
    const uint32_t start = platform::TickCount();
    auto reply = s.host.Ask("%7%print,/par/rcvid\r\n", 10000);
    EXPECT_GE(platform::TickCount() - start, 650u);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->substr(0, 2), "RE");
    EXPECT_EQ(reply->find("%7%"), std::string::npos) << *reply;
    EXPECT_NE(reply->find("SIM00000001"), std::string::npos);
}

TEST(SimFaults, GarbageGoesBetweenMessagesWithoutBreakingThem) {
    TcpSession s;
    ASSERT_TRUE(s.Open({"--garbage", "--time-scale", "20"}));
    TcpHost& h = s.host;
    ASSERT_TRUE(h.Send("%em%em,,jps/RT:0.5\r\n"));
    std::string junk;
    auto reply = h.NextMessage(5000, &junk);
    EXPECT_EQ(reply, "RE004%em%");
    EXPECT_FALSE(junk.empty());
    for (int i = 0; i < 3; ++i) {
        junk.clear();
        auto m = h.NextMessage(5000, &junk);
        ASSERT_TRUE(m);
        EXPECT_TRUE(simtest::ParseContainer(*m).checksum_ok);
        EXPECT_FALSE(junk.empty());
    }
}

TEST(SimFaults, BadChecksumOnEveryNthContainer) {
    TcpSession s;
    ASSERT_TRUE(s.Open({"--bad-checksum-every", "3", "--time-scale", "50"}));
    ASSERT_EQ(s.host.Ask("%em%em,,jps/RT:0.5,jps/PO:0.5\r\n"), "RE004%em%");
    int seen = 0;
    while (seen < 9) {
        auto m = s.host.NextMessage();
        ASSERT_TRUE(m);
        Container c = simtest::ParseContainer(*m);
        ++seen;
        EXPECT_EQ(c.stream_sequence(), seen);
        EXPECT_EQ(c.checksum_ok, seen % 3 != 0) << seen;
    }
}

TEST(SimFaults, DisconnectAfterCutsTheLineAtThatByteAndServesTheNextHostAfresh) {
    TcpSession s;
    ASSERT_TRUE(s.Open({"--disconnect-after", "20"}));
    ASSERT_TRUE(s.host.Send("%Loop%\r\n%Loop%\r\n%Loop%\r\n"));
    s.host.Collect(1500);
    EXPECT_TRUE(s.host.closed);
    EXPECT_EQ(s.host.got, std::string("RE006%Loop%RE006%Loo"));
    EXPECT_TRUE(s.sim.WaitForNote("disconnecting after 20 bytes"));
    TcpHost next;
    ASSERT_TRUE(next.Connect(s.port));
    EXPECT_EQ(next.Ask("%Loop%\r\n"), "RE006%Loop%");
}

}  // namespace
}  // namespace orvana
