// Logging in over a real socket: refusals and their texts, the session limit of CountUsr, the
// access list built from AccessRcv and the enabled receivers, and the built-in system users.

#include <gtest/gtest.h>

#include "core/login.h"
#include "tests/server_harness.h"

namespace orvana {
namespace {

class Login : public ::testing::Test {
  protected:
    void StartWith(std::vector<std::string> receivers) {
        for (auto& r : receivers) server_.AddReceiver(r);
        ASSERT_TRUE(server_.Start());
    }
    std::unique_ptr<test::TestClient> Connected() { return server_.Client(); }
    test::ServerProcess server_;
};

TEST_F(Login, RefusalsCarryTheirTextsAndCodeZero) {
    server_.AddUser("ann", "secret");
    server_.AddUser("off", "");
    server_.store().WriteFlag("Users\\off", cfg::kEnableUser.name, false);
    StartWith({});
    auto c = Connected();
    struct Case {
        const char* request;
        const char* reply;
    } cases[] = {
        {"OpenUsr nobody x", "ER:Cannot find user."},
        {"OpenUsr off x", "ER:Cannot find user."},
        {"OpenUsr", "ER:Cannot find user."},
        {"OpenUsr ann wrong", "ER:Incorrect user password."},
        {"OpenUsr ann", "ER:Incorrect user password."},
        {"OpenUsr ann Secret", "ER:Incorrect user password."},
    };
    for (const Case& k : cases) {
        auto f = c->Call(k.request);
        ASSERT_TRUE(f) << k.request;
        EXPECT_EQ(f->data, k.reply) << k.request;
        EXPECT_EQ(f->code, 0u) << k.request;
    }
    auto f = c->Call("  OpenUsr ann   secret   my task ");
    // Leading blanks make the name not match: the text must start with the request name.
    ASSERT_TRUE(f);
    EXPECT_EQ(f->data, "ER:Unknown request type");
    f = c->Call("OpenUsr   ann   secret   my task ");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->data, "RE:OK.");
    EXPECT_EQ(f->code, 1u);
    EXPECT_TRUE(server_.WaitForLog("Client=127.0.0.1:"));
}

TEST_F(Login, EmptyStoredPasswordAcceptsAnyAndTheSystemUserComesFromLoopback) {
    server_.AddUser("guest", "");
    server_.AddUser(kDemonUser, kSystemPassword, kSystemUserCount);
    StartWith({"R1"});
    auto c = Connected();
    auto f = c->Call("OpenUsr guest");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->data, "RE:OK.");
    EXPECT_EQ(f->code, 2u);
    f = c->Call("OpenUsr guest whatever task");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->code, 2u);
    f = Connected()->Call("OpenUsr Demon Zelmar SysService");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->data, "RE:OK.");
    EXPECT_EQ(f->code, 2u);
}

TEST_F(Login, CountUsrOneAllowsTwoSessions256OneAndANameInAnotherCaseCountsSeparately) {
    server_.AddUser("ann", "pw", 1);
    server_.AddUser("bea", "pw", 256);
    StartWith({});
    // 256 keeps its low bits: one session.
    auto d = Connected(), e = Connected(), g = Connected();
    EXPECT_EQ(d->Ask("OpenUsr bea pw"), "RE:OK.");
    EXPECT_EQ(e->Ask("OpenUsr BEA pw"), "RE:OK.");
    EXPECT_EQ(g->Ask("OpenUsr bea pw"), "ER:Max number of connections for this user exceeded.");

    auto a = Connected(), b = Connected(), c = Connected();
    EXPECT_EQ(a->Call("OpenUsr ann pw")->code, 1u);
    EXPECT_EQ(b->Call("OpenUsr ann pw")->code, 1u);
    auto f = c->Call("OpenUsr ann pw");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->data, "ER:Max number of connections for this user exceeded.");
    EXPECT_EQ(f->code, 0u);
    // A session that leaves frees its place.
    EXPECT_EQ(a->Call("CloseUsr")->code, 1u);
    EXPECT_TRUE(a->WaitClosed(5));
    EXPECT_TRUE(server_.WaitForLog("Client=ann/"));
    f = c->Call("OpenUsr ann pw");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->data, "RE:OK.");
}

TEST_F(Login, AllGivesEveryEnabledReceiverInTableOrder) {
    server_.AddUser("ann", "pw", 1, "ALL");
    server_.AddReceiver("Off", false);
    StartWith({"Gamma", "alpha", "Beta"});
    auto c = Connected();
    EXPECT_EQ(c->Call("OpenUsr ann pw")->code, 4u);
    auto f = c->Call("GetRcvList");
    ASSERT_TRUE(f);
    // The store enumerates keys in case-insensitive order.
    EXPECT_EQ(f->data, "RE:alpha,Beta,Gamma,");
    EXPECT_EQ(f->code, 4u);
    // A refused login after a successful one keeps the handle count: handle 4 is in range.
    EXPECT_EQ(c->Call("OpenUsr ann bad")->code, 0u);
    EXPECT_EQ(c->Ask("Command x", 4), "ER:Receiver not open!");
}

TEST_F(Login, ListedReceiversCountOnlyWhenFollowedByAComma) {
    server_.AddUser("ann", "pw", 1, "Beta,Gamma");
    server_.AddUser("bob", "pw", 1, "Nope,Gamma,alpha,");
    StartWith({"alpha", "Beta", "Gamma"});
    auto c = Connected();
    EXPECT_EQ(c->Call("OpenUsr ann pw")->code, 2u);
    EXPECT_EQ(c->Call("GetRcvList")->data, "RE:Beta,");
    auto d = Connected();
    EXPECT_EQ(d->Call("OpenUsr bob pw")->code, 3u);
    EXPECT_EQ(d->Call("GetRcvList")->data, "RE:Gamma,alpha,");
}

TEST_F(Login, ConcurrentLoginsNeverExceedTheLimit) {
    server_.AddUser("ann", "pw", 0);  // one session at a time
    StartWith({});
    constexpr int kClients = 8;
    std::vector<std::unique_ptr<test::TestClient>> clients;
    for (int i = 0; i < kClients; ++i) clients.push_back(Connected());
    // All requests are out before any reply is read, so the logins race in the server.
    for (auto& c : clients) ASSERT_TRUE(c->Request("OpenUsr ann pw"));
    int accepted = 0;
    for (auto& c : clients) {
        auto f = c->NextReply();
        ASSERT_TRUE(f);
        accepted += f->data == "RE:OK." ? 1 : 0;
    }
    EXPECT_EQ(accepted, 1);
}

}  // namespace
}  // namespace orvana
