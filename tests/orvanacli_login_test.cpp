#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/server_harness.h"

namespace orvana {
namespace {

using Outcome = test::ProgramResult;

Outcome RunCli(const std::vector<std::string>& args) {
    return test::RunProgram("orvanacli", args, 20000);
}

class OrvanacliLogin : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.AddUser("ann", "secret", 2);
        ASSERT_TRUE(server_.Start());
    }
    std::vector<std::string> As(const std::string& password, std::vector<std::string> rest,
                                bool encipher = false) {
        std::vector<std::string> a{
            "--host", "127.0.0.1", "--port",     std::to_string(server_.port()),
            "--user", "ann",       "--password", password};
        if (encipher) a.push_back("--encipher");
        a.insert(a.end(), rest.begin(), rest.end());
        return a;
    }
    test::ServerProcess server_;
};

TEST_F(OrvanacliLogin, PingSucceedsPlainAndEnciphered) {
    for (bool encipher : {false, true}) {
        Outcome o = RunCli(As("secret", {"ping"}, encipher));
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.out, "RE:OK.\n");
    }
}

TEST_F(OrvanacliLogin, RefusedLoginPrintsTheServerTextAndFails) {
    Outcome o = RunCli(As("wrong", {"ping"}));
    EXPECT_NE(o.status, 0);
    EXPECT_EQ(o.out.compare(0, 3, "ER:"), 0) << o.out;
}

TEST_F(OrvanacliLogin, ErReplyGivesNonZeroStatus) {
    Outcome o = RunCli(As("secret", {"raw", "Bogus"}, true));
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "ER:Unknown request type\n");
}

TEST_F(OrvanacliLogin, BadArgumentsGiveOneLineAndNoConnection) {
    Outcome unknown = RunCli(As("secret", {"fly"}));
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("unknown verb"), std::string::npos) << unknown.err;
    Outcome noport = RunCli({"--user", "ann", "ping"});
    EXPECT_EQ(noport.status, 2);
    EXPECT_NE(noport.err.find("--port"), std::string::npos);
    Outcome usage = RunCli(As("secret", {"cmd", "R1"}));
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.err.find("usage: cmd NAME TEXT"), std::string::npos) << usage.err;
}

TEST_F(OrvanacliLogin, UnknownReceiverIsRefusedNotCrashed) {
    Outcome o = RunCli(As("secret", {"cmd", "NoSuch", "print,/par/rcv/model"}));
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_EQ(o.out.compare(0, 3, "ER:"), 0) << o.out;
}

}  // namespace
}  // namespace orvana
