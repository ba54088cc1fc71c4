// orvanaconsole as the operator runs it: the server of orvanasrv with the same command line,
// rid of a poll user a crashed window left behind, reloaded by SIGHUP and stopped in order by
// SIGTERM.

#include <gtest/gtest.h>

#include "core/config_keys.h"
#include "core/login.h"
#include "tests/server_harness.h"
#include "tests/support/test_env.h"

namespace orvana {
namespace {

const std::vector<std::string> kOffscreen = {"QT_QPA_PLATFORM=offscreen"};

TEST(ConsoleProgram, ServesClientsRemovesALeftoverDemonReloadsAndStopsOnSigterm) {
    test::ServerProcess server;
    server.set_program("orvanaconsole");
    server.AddUser("ann", "pw");
    const std::string demon = std::string(cfg::kUsersKey) + kDemonUser;
    server.AddUser(kDemonUser, kSystemPassword, kSystemUserCount);
    ASSERT_TRUE(server.Start(kOffscreen));
    EXPECT_FALSE(server.store().KeyExists(demon));
    auto ann = server.Client("OpenUsr ann pw");
    EXPECT_EQ(ann->Ask("GetRcvList").rfind("RE", 0), 0u);
    auto intruder = server.Client();
    EXPECT_EQ(intruder->Ask("OpenUsr Demon Zelmar SysService"), "ER:Cannot find user.");
    // SIGHUP is the operator's reload, never the end.
    ASSERT_TRUE(server.process().Signal(1));
    EXPECT_TRUE(server.WaitForLog("Reload: receivers unchanged"));
    EXPECT_EQ(ann->Ask("Ping"), "RE:OK.");

    EXPECT_EQ(server.Stop(), 0);
    EXPECT_NE(server.process().StdoutSoFar().find("Server stopped"), std::string::npos);
    EXPECT_TRUE(ann->WaitClosed(5));
}

TEST(ConsoleProgram, TakesTheServersCommandLine) {
    test::ProgramResult r = test::RunProgram("orvanaconsole", {"--hoem", "x"}, 20000, kOffscreen);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown option --hoem"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("usage: orvanaconsole"), std::string::npos) << r.err;
    r = test::RunProgram("orvanaconsole", {"--version"}, 20000, kOffscreen);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("orvanaconsole Version ", 0), 0u) << r.out;
}

}  // namespace
}  // namespace orvana
