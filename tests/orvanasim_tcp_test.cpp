// The simulator over a real TCP socket: command replies, checksum refusal, split replies and
// data containers.

#include <gtest/gtest.h>

#include <string>

#include "platform/clock.h"
#include "platform/net.h"
#include "platform/subprocess.h"
#include "tests/support/test_env.h"

namespace orvana {
namespace {

uint8_t Sum(const std::string& s) {
    uint8_t v = 0;
    for (char c : s) v = static_cast<uint8_t>(((v << 2) | (v >> 6)) ^ static_cast<uint8_t>(c));
    return static_cast<uint8_t>((v << 2) | (v >> 6));
}

class SimTcp : public ::testing::Test {
  protected:
    void Start(std::vector<std::string> extra) {
        std::vector<std::string> argv = {test::ProgramPath("orvanasim"), "--tcp", "0"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        std::string error;
        ASSERT_TRUE(sim_.Start(argv, &error)) << error;
        auto line = sim_.WaitForLine("Listening on 127.0.0.1:", 5000);
        ASSERT_TRUE(line);
        platform::Ipv4Endpoint at;
        platform::ParseDotted("127.0.0.1", &at.address);
        at.port = static_cast<uint16_t>(std::stoi(line->substr(line->rfind(':') + 1)));
        fd_ = platform::OpenStreamSocket();
        ASSERT_TRUE(platform::Connect(fd_, at, 5000));
        Collect(300);
        got_.clear();
    }
    void TearDown() override {
        if (fd_ != platform::kNoSocket) platform::CloseSocket(fd_);
        sim_.Signal(15);
        EXPECT_TRUE(sim_.Wait(5000));
    }
    void Send(const std::string& s) { platform::SendAll(fd_, s.data(), s.size(), 2000); }
    void Collect(uint32_t ms) {
        uint32_t start = platform::TickCount();
        while (platform::TickCount() - start < ms) {
            if (platform::WaitReadable(fd_, 20) <= 0) continue;
            char b[4096];
            long n = platform::ReceiveOnce(fd_, b, sizeof b, false);
            if (n <= 0) break;
            got_.append(b, static_cast<size_t>(n));
        }
    }
    platform::Subprocess sim_;
    platform::SocketFd fd_ = platform::kNoSocket;
    std::string got_;
};

TEST_F(SimTcp, AnswersTaggedAndChecksummedCommands) {
    Start({"--model", "TESTMODEL"});
    std::string cmd = "print,/par/rcv/model@";
    char cs[4];
    std::snprintf(cs, sizeof cs, "%2x", Sum(cmd));
    Send(cmd + cs + "\r\n%Loop%\r\n");
    Collect(500);
    EXPECT_EQ(got_, "RE009TESTMODELRE006%Loop%");
}

TEST_F(SimTcp, RefusesABadChecksumWithAnErrorReply) {
    Start({});
    Send("%7%print,/par/rcvid@00\r\n");
    Collect(500);
    EXPECT_EQ(got_.substr(0, 2), "ER");
    EXPECT_NE(got_.find("%7%"), std::string::npos);
}

TEST_F(SimTcp, SplitsLongRepliesIntoPartsEndingInComma) {
    Start({"--max-reply", "10"});
    Send("list,/msg/jps\r\n");
    Collect(500);
    EXPECT_EQ(got_, "RE00A{RT,PO,VE,RE009PV,SI,ET,RE006EL,AZ}");
}

TEST_F(SimTcp, SendsContainersWithValidChecksumsAndRisingCounters) {
    Start({"--time-scale", "10"});
    Send("%em%em,,jps/RT:{1.0,0,-2}\r\n");
    Collect(1500);
    ASSERT_EQ(got_.substr(0, 9), "RE004%em%");
    size_t at = 9, count = 0;
    long last = 0;
    while (at + 5 <= got_.size()) {
        ASSERT_EQ(got_.substr(at, 2), ">>");
        size_t len = std::stoul(got_.substr(at + 2, 3), nullptr, 16);
        if (at + 5 + len > got_.size()) break;
        std::string c = got_.substr(at, len + 5);
        EXPECT_EQ(static_cast<unsigned char>(c[5]), 1);
        EXPECT_EQ(std::stoul(c.substr(c.size() - 2), nullptr, 16), Sum(c.substr(0, c.size() - 2)));
        long seq = std::stol(c.substr(6, 10));
        EXPECT_EQ(seq, last + 1);
        last = seq;
        ++count;
        at += len + 5;
    }
    EXPECT_GE(count, 3u);
}

}  // namespace
}  // namespace orvana
