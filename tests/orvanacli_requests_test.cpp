// orvanacli against the real server binary, with the simulator as the station's COM1 receiver:
// login refusals, receiver lists, refusals before a stream starts, commands, scripts and the
// administration records.

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "admin/admin_requests.h"
#include "tests/orvanasim_harness.h"
#include "tests/server_harness.h"

namespace orvana {
namespace {

using Outcome = test::ProgramResult;

Outcome RunCli(const std::vector<std::string>& args) {
    return test::RunProgram("orvanacli", args, 60000);
}

class OrvanacliRequests : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.AddUser("ann", "apw", 5);
        server_.AddUser("bob", "bpw", 5, "Base1,");
        server_.store().WriteFlag("Users\\bob", cfg::kSuperUser.name, false);
        server_.AddUser("carl", "cpw");
        server_.store().WriteFlag("Users\\carl", cfg::kEnableUser.name, false);
        server_.AddUser("dora", "dpw", 0);
        server_.AddReceiver("Base1", true, "COM 1");
        server_.AddReceiver("Other", true, "COM 2");
        scripts_ = server_.home() + "/Scripts/";
        std::filesystem::create_directories(scripts_);
        server_.store().WriteText(cfg::kActiveKey, cfg::kScripts.name, scripts_);
    }
    void Start() {
        ASSERT_TRUE(sim_.StartPty({"--ports", server_.Ports(), "--com", "1", "--model", "TESTMODEL",
                                   "--transcript", transcript()}));
        ASSERT_TRUE(server_.Start());
    }
    std::vector<std::string> As(const std::string& user, const std::string& password,
                                std::vector<std::string> rest) {
        std::vector<std::string> a{
            "--port", std::to_string(server_.port()), "--user", user, "--password", password};
        a.insert(a.end(), rest.begin(), rest.end());
        return a;
    }
    std::string transcript() const { return server_.home() + "/sim-lines.txt"; }
    Outcome Ann(std::vector<std::string> rest) { return RunCli(As("ann", "apw", std::move(rest))); }
    Outcome Bob(std::vector<std::string> rest) { return RunCli(As("bob", "bpw", std::move(rest))); }

    test::ServerProcess server_;
    simtest::Sim sim_;
    std::string scripts_;
};

TEST_F(OrvanacliRequests, LoginRefusalsPrintTheServerTextWithStatusOne) {
    Start();
    struct Case {
        std::string user, password, reply;
    } cases[] = {
        {"ann", "wrong", "ER:Incorrect user password.\n"},
        {"nobody", "x", "ER:Cannot find user.\n"},
        {"carl", "cpw", "ER:Cannot find user.\n"},
    };
    for (const Case& c : cases) {
        Outcome o = RunCli(As(c.user, c.password, {"ping"}));
        EXPECT_EQ(o.status, 1) << c.user;
        EXPECT_EQ(o.out, c.reply) << c.user;
    }
    // With CountUsr 0 a user may hold one session; the command-line client is the second.
    test::TestClient held;
    ASSERT_TRUE(held.Connect(server_.port()));
    ASSERT_EQ(held.Call("OpenUsr dora dpw")->data, "RE:OK.");
    Outcome o = RunCli(As("dora", "dpw", {"ping"}));
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "ER:Max number of connections for this user exceeded.\n");
}

TEST_F(OrvanacliRequests, PingRawRepliesAndArgumentErrors) {
    Start();
    for (bool encipher : {false, true}) {
        auto words = [&](std::vector<std::string> w) {
            if (encipher) w.insert(w.begin(), "--encipher");
            return w;
        };
        Outcome o = Ann(words({"ping"}));
        EXPECT_EQ(o.status, 0) << encipher << o.err;
        EXPECT_EQ(o.out, "RE:OK.\n");
        o = Ann(words({"raw", "Bogus"}));
        EXPECT_EQ(o.status, 1) << encipher;
        EXPECT_EQ(o.out, "ER:Unknown request type\n");
    }
    Outcome unknown = Ann({"cmd", "NoSuch", "print,/par/rcv/model"});
    EXPECT_EQ(unknown.status, 1) << unknown.err;
    EXPECT_EQ(unknown.out.compare(0, 3, "ER:"), 0) << unknown.out;
    // Bad arguments give one line and status 2.
    Outcome verb = Ann({"fly"});
    EXPECT_EQ(verb.status, 2);
    EXPECT_NE(verb.err.find("unknown verb"), std::string::npos) << verb.err;
    Outcome noport = RunCli({"--user", "ann", "ping"});
    EXPECT_EQ(noport.status, 2);
    EXPECT_NE(noport.err.find("--port"), std::string::npos);
    Outcome usage = Ann({"cmd", "Base1"});
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.err.find("usage: cmd NAME TEXT"), std::string::npos) << usage.err;
    // A failed connection says what the number means.
    Outcome refused = RunCli(
        {"--port", std::to_string(test::FreePort()), "--user", "ann", "--password", "x", "ping"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("(error 10061: Connection refused)"), std::string::npos)
        << refused.err;
}

TEST_F(OrvanacliRequests, ReceiverListFollowsTheAccessListAttachIsRefusedOutsideIt) {
    Start();
    Outcome all = Ann({"rcvlist"});
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(all.out, "RE:Base1,Other,\n");
    EXPECT_EQ(Bob({"rcvlist"}).out, "RE:Base1,\n");
    Outcome no_rights = Bob({"attach", "Other", "jps", "RT"});
    EXPECT_EQ(no_rights.status, 1);
    EXPECT_EQ(no_rights.out, "ER:Can't find receiver.\n");
    Outcome unknown = Ann({"attach", "NoSuch", "jps", "RT"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.out, "ER:Can't find receiver.\n");
    for (const char* group : {"9", "all", "gps"}) {
        Outcome bad = Ann({"attach", "Base1", group, "RT"});
        EXPECT_EQ(bad.status, 2) << group;
        EXPECT_NE(bad.err.find("GROUP is 0..3"), std::string::npos) << bad.err;
        EXPECT_EQ(bad.out, "");
    }
    Outcome bad_detach = Ann({"detach", "Base1", "5"});
    EXPECT_EQ(bad_detach.status, 2);
    EXPECT_NE(bad_detach.err.find("GROUP is 0..4"), std::string::npos) << bad_detach.err;
}

TEST_F(OrvanacliRequests, CommandsReachTheReceiverAndGuardedOnesAreRefused) {
    Start();
    Outcome model = Ann({"cmd", "Base1", "print,/par/rcv/model"});
    EXPECT_EQ(model.status, 0) << model.out << model.err;
    EXPECT_NE(model.out.find("TESTMODEL"), std::string::npos) << model.out;
    Outcome term = Ann({"cmd", "Base1", "%t%print,/par/cur/term"});
    EXPECT_EQ(term.status, 0);
    EXPECT_NE(term.out.find("%t%/dev/ser/a"), std::string::npos) << term.out;

    Outcome guarded = Bob({"cmd", "Base1", "%3%set,/par/pos/mode,x"});
    EXPECT_EQ(guarded.status, 1);
    EXPECT_EQ(guarded.out, "ER:User not authorized to send this command!\n");
    Outcome blocked = Ann({"cmd", "Base1", "%1%em,,jps/RT"});
    EXPECT_EQ(blocked.status, 1);
    EXPECT_EQ(blocked.out, "ER:Command blocked\n");
}

TEST_F(OrvanacliRequests, AttachFollowsTheReceiversMessagesForTheTimeAskedAndDetaches) {
    Start();
    Outcome o = Ann({"attach", "Base1", "jps", "RT:0.1,PO:0.2", "--seconds", "3"});
    EXPECT_EQ(o.status, 0) << o.err;
    std::istringstream lines(o.out);
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "RE:OK.");
    int rt = 0, po = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("type 0x102 ", 0) == 0) ++rt;
        if (line.rfind("type 0x103 ", 0) == 0) ++po;
    }
    EXPECT_GE(rt, 3) << o.out;
    EXPECT_GE(po, 2) << o.out;
    // The receiver was given both items, and its output was stopped again when the client left.
    const std::string lines_seen = test::ReadFile(transcript());
    const size_t em = lines_seen.find("%em%em,,jps/RT:{0.1,0,-2},jps/PO:{0.2,0,-3}");
    ASSERT_NE(em, std::string::npos) << lines_seen;
    EXPECT_NE(lines_seen.find("dm", em), std::string::npos) << lines_seen;
}

TEST_F(OrvanacliRequests, AttachToStandardOutputFeedsTheProgramItIsPipedInto) {
    sim_.numbered = false;
    Start();
    // The sentences alone reach gpsd's decoder; the replies go to standard error.
    const std::string err = server_.home() + "/cli.err";
    const std::string command = test::ProgramPath("orvanacli") + " --port " +
                                std::to_string(server_.port()) +
                                " --user ann --password apw attach Base1 nmea GGA:0.2,RMC:0.2 "
                                "--seconds 3 --out - 2>" +
                                err + " | gpsdecode -j";
    const Outcome o = test::RunProgram("/bin/sh", {"-c", command}, 60000);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("\"class\":\"TPV\""), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("\"lat\":50.0875"), std::string::npos) << o.out;
    const std::string replies = test::ReadFile(err);
    EXPECT_NE(replies.find("RE:OK."), std::string::npos) << replies;
    EXPECT_FALSE(std::filesystem::exists("-"));
    EXPECT_EQ(RunCli({"--version"}).out.rfind("orvanacli Version ", 0), 0u);
}

TEST_F(OrvanacliRequests, RunPrintsTheScriptOutputAndFailsWhenTheScriptDidNotRun) {
    test::WriteFile(scripts_ + "echo.scr", "proc main(a, b)\nout b + a\nendproc\n");
    Start();
    Outcome ran = Ann({"run", "echo", "x", "y"});
    EXPECT_EQ(ran.status, 0) << ran.err;
    EXPECT_EQ(ran.out, "yx\n");
    Outcome absent = Ann({"run", "absent"});
    EXPECT_EQ(absent.status, 1);
    EXPECT_EQ(absent.out, "ER:Script don't exist!\n");
    Outcome too_many = Ann({"run", "echo", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10"});
    EXPECT_EQ(too_many.status, 1);
    EXPECT_EQ(too_many.out, "ER:Counter parameters > 10!\n");
}

TEST_F(OrvanacliRequests, GetAndSetOfAdministrationRecordsFollowTheSuperUserRight) {
    Start();
    Outcome users = Bob({"get", "Usr"});
    EXPECT_EQ(users.status, 0);
    EXPECT_EQ(users.out, "RE:ann/e\nbob/e\ncarl/d\ndora/e\n\n");
    Outcome refused = Bob({"set", "Usr", "eve/eBase1,/epw/2/"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, std::string(admin::kNotAuthorized) + "\n");

    Outcome set = Ann({"set", "Usr", "eve/eBase1,/epw/2/"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out, "RE:OK.\n");
    EXPECT_EQ(Ann({"get", "Usr", "eve"}).out, "RE:Base1,/epw/2/\n\n");
    // A record with blanks in it is one shell word.
    EXPECT_EQ(Ann({"set", "Rcv", "roof/dCOM 3/57600/0/,north/P7/30/10/x/y/z/ANT1/0.1/"}).out,
              "RE:OK.\n");
    EXPECT_EQ(Ann({"get", "Rcv", "roof"}).out, "RE:COM 3/57600/0/north/P7\n");

    Outcome clist = Ann({"clist"});
    EXPECT_EQ(clist.status, 0);
    EXPECT_EQ(clist.out.substr(0, 15), "RE:Date Start/1");
}

// Every verb --help lists is one the program takes.
TEST(OrvanacliHelp, ListsOnlyVerbsTheProgramKnows) {
    Outcome help = RunCli({"--help"});
    ASSERT_EQ(help.status, 0);
    std::istringstream lines(help.out);
    std::string line;
    int verbs = 0;
    bool in_verbs = false;
    while (std::getline(lines, line)) {
        if (line == "verbs:") {
            in_verbs = true;
            continue;
        }
        if (!in_verbs || line.rfind("  ", 0) != 0 || line[2] == ' ') continue;
        const std::string verb = line.substr(2, line.find(' ', 2) - 2);
        ++verbs;
        // Port 9 on the loopback: nobody listens, so a known verb ends at its usage or the
        // connection, never at "unknown verb".
        Outcome o = RunCli({"--port", "9", "--user", "x", "--timeout", "1", verb});
        EXPECT_EQ(o.status, 2) << verb;
        EXPECT_EQ(o.err.find("unknown verb"), std::string::npos) << verb << ": " << o.err;
    }
    EXPECT_EQ(verbs, 20);
}

}  // namespace
}  // namespace orvana
