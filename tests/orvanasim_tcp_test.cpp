// The simulator over a real TCP socket, driven as the server drives a receiver: the login
// exchange, command replies and their checksum check, split replies, and the fault options.

#include <gtest/gtest.h>

#include <string>

#include "tests/orvanasim_harness.h"

namespace orvana {
namespace {

using simtest::Checksummed;
using simtest::Sim;
using simtest::TcpHost;
using simtest::TcpSession;

TEST(SimTcp, AnswersIdentityTerminalAndListCommandsWithTheirTagsAndChecksTheChecksum) {
    TcpSession s;
    ASSERT_TRUE(s.Open({"--model", "TESTMODEL", "--rcvid", "ID42", "--version", "3.2.1"}));
    TcpHost& h = s.host;
    EXPECT_EQ(h.Ask(Checksummed("print,/par/rcv/model")), "RE009TESTMODEL");
    EXPECT_EQ(h.Ask(Checksummed("%WL%print,/par/rcvid")), "RE008%WL%ID42");
    EXPECT_EQ(h.Ask(Checksummed("%v%print,/par/version/main")), "RE008%v%3.2.1");
    EXPECT_EQ(h.Ask(Checksummed("%Loop%")), "RE006%Loop%");
    EXPECT_EQ(h.Ask("%Loop%\r\n"), "RE006%Loop%");
    EXPECT_EQ(h.Ask("%%print,/par/cur/term\r\n"), "RE00C%%/dev/tcp/a");
    EXPECT_EQ(h.Ask("%1%list,/msg/jps\r\n"), "RE01C%1%{RT,PO,VE,PV,SI,ET,EL,AZ}");
    EXPECT_EQ(h.Ask("%2%list,/msg/cmr\r\n"), "RE011%2%{OBS,REF,DESC}");
    EXPECT_EQ(h.Ask("%3%list,/msg/nmea\r\n"), "RE018%3%{GGA,RMC,GSV,GSA,ZDA}");
    EXPECT_EQ(h.Ask("%4%list,/msg/rtcm\r\n"),
              "RE031%4%{1004,1006,1012,1033,1005,1074,1084,1094,1124}");
    // A set value is printed back; an untagged set has nothing to answer.
    EXPECT_EQ(h.Ask("%s%set,/par/pos/mode,static\r\n"), "RE003%s%");
    EXPECT_EQ(h.Ask("%p%print,/par/pos/mode\r\n"), "RE009%p%static");
    EXPECT_EQ(h.Ask("%u%frobnicate\r\n"), "ER016%u%{1,unknown command}");
    // Two commands on one line get two replies, in order.
    ASSERT_TRUE(h.Send("%x%print,/par/rcvid||%y%print,/par/rcv/model\r\n"));
    EXPECT_EQ(h.NextReply(), "RE007%x%ID42");
    EXPECT_EQ(h.NextReply(), "RE00C%y%TESTMODEL");

    // The checksum is checked, and a bad one gets an error with the tag. The test's own
    // checksum against known values first.
    EXPECT_EQ(simtest::Checksum("abc"), 0xF3);
    EXPECT_EQ(Checksummed("print,/par/rcv/model"), "print,/par/rcv/model@84\r\n");
    EXPECT_EQ(h.Ask("%7%print,/par/rcvid@00\r\n"), "ER00F%7%{2,checksum}");
    EXPECT_EQ(h.Ask("print,/par/rcvid@zz\r\n").value_or("").substr(0, 2), "ER");
    // Upper-case digits are taken as well as the lower-case ones the server writes.
    std::string line = "%8%print,/par/rcvid@";
    char upper[4];
    std::snprintf(upper, sizeof upper, "%02X", simtest::Checksum(line));
    EXPECT_EQ(h.Ask(line + upper + "\r\n"), "RE007%8%ID42");
    // A checksum below 16 is written with a blank before its one digit.
    const std::string small = Checksummed("%A1%print,/par/rcvid");
    ASSERT_EQ(small, "%A1%print,/par/rcvid@ 8\r\n");
    EXPECT_EQ(h.Ask(small), "RE008%A1%ID42");
}

// The server opens a second connection for a file transfer while the first keeps serving.
TEST(SimTcp, ConnectionsAreServedSideBySideEachAsItsOwnTerminal) {
    Sim sim;
    auto port = sim.StartTcp({"--time-scale", "20"});
    ASSERT_TRUE(port);
    TcpHost first, second;
    ASSERT_TRUE(first.Connect(*port));
    EXPECT_EQ(first.Ask("print,/par/cur/term\r\n"), "RE00A/dev/tcp/a");
    ASSERT_EQ(first.Ask("%em%em,,jps/RT:0.1\r\n"), "RE004%em%");
    ASSERT_TRUE(second.Connect(*port));
    EXPECT_EQ(second.Ask("print,/par/cur/term\r\n"), "RE00A/dev/tcp/b");
    EXPECT_EQ(second.Ask("%Loop%\r\n"), "RE006%Loop%");
    // The first one's output runs on and never shows up on the second.
    auto container = first.NextMessage();
    ASSERT_TRUE(container);
    EXPECT_EQ(container->substr(0, 2), ">>");
    second.got.clear();
    second.Collect(300);
    EXPECT_EQ(second.got, "");
    second.Close();
    EXPECT_EQ(first.Ask("%1%print,/par/cur/term\r\n"), "RE00D%1%/dev/tcp/a");
    EXPECT_EQ(sim.Stop(), 0);
}

// The host joins parts that end in "," or "{"; every part carries the tag again.
TEST(SimTcp, LongRepliesComeInPartsEndingInCommaOrBrace) {
    TcpSession s;
    ASSERT_TRUE(s.Open({"--max-reply", "10"}));
    TcpHost& h = s.host;
    ASSERT_TRUE(h.Send("list,/msg/jps\r\n"));
    EXPECT_EQ(h.NextReply(), "RE00A{RT,PO,VE,");
    EXPECT_EQ(h.NextReply(), "RE009PV,SI,ET,");
    EXPECT_EQ(h.NextReply(), "RE006EL,AZ}");

    ASSERT_TRUE(h.Send("%t%list,/msg/nmea\r\n"));
    std::string joined;
    for (;;) {
        auto part = h.NextReply();
        ASSERT_TRUE(part);
        ASSERT_EQ(part->substr(5, 3), "%t%");
        std::string body = part->substr(8);
        joined += body;
        if (body.back() != ',' && body.back() != '{') break;
        EXPECT_LE(body.size(), 10u);
    }
    EXPECT_EQ(joined, "{GGA,RMC,GSV,GSA,ZDA}");

    ASSERT_EQ(h.Ask("%s%set,/par/x,ab{cdefghijklmn}\r\n"), "RE003%s%");
    ASSERT_TRUE(h.Send("print,/par/x\r\n"));
    EXPECT_EQ(h.NextReply(), "RE003ab{");
    EXPECT_EQ(h.NextReply(), "RE00Dcdefghijklmn}");
}

// The server's exchange: two receives, a line feed, a receive, the password and a line feed, and
// an answer that holds "RE" when the login was accepted.
TEST(SimTcp, LoginExchangeAcceptsTheRightPasswordOnly) {
    Sim sim;
    auto port = sim.StartTcp({"--login", "pw1"});
    ASSERT_TRUE(port);
    {
        TcpHost h;
        ASSERT_TRUE(h.Connect(*port));
        ASSERT_TRUE(h.WaitForBytes(1, 5000));
        h.Collect(400);
        EXPECT_NE(h.got.find("login: "), std::string::npos) << h.got;
        h.got.clear();
        ASSERT_TRUE(h.Send("\n"));
        h.Collect(300);
        EXPECT_NE(h.got.find("password: "), std::string::npos) << h.got;
        h.got.clear();
        ASSERT_TRUE(h.Send("pw1\n"));
        EXPECT_EQ(h.NextReply(), "RE002OK");
        EXPECT_EQ(h.Ask("%Loop%\r\n"), "RE006%Loop%");
    }
    {
        TcpHost h;
        ASSERT_TRUE(h.Connect(*port));
        ASSERT_TRUE(h.Send("\n"));
        ASSERT_TRUE(h.WaitForBytes(1, 5000));
        h.Collect(300);
        ASSERT_TRUE(h.Send("wrong\n"));
        h.Collect(1500);
        EXPECT_NE(h.got.find("Login incorrect"), std::string::npos) << h.got;
        EXPECT_EQ(h.got.find("RE"), std::string::npos) << h.got;
        EXPECT_TRUE(h.closed);
    }
    EXPECT_TRUE(sim.WaitForNote("login refused"));
}

}  // namespace
}  // namespace orvana
