// The Run request through the server binary: scripts in a real scripts folder, the internal
// client's requests through the real request table, the store and the event log, and the
// Script user that exists only while a script runs.

#include <gtest/gtest.h>

#include <filesystem>

#include "script/state_codes.h"
#include "tests/orvanasim_harness.h"
#include "tests/server_harness.h"

namespace orvana {
namespace {

class RunRequest : public ::testing::Test {
  protected:
    void SetUp() override {
        scripts_ = server_.home() + "/Scripts/";
        std::filesystem::create_directories(scripts_);
        server_.store().WriteText(cfg::kActiveKey, cfg::kScripts.name, scripts_);
        server_.AddUser("ann", "secret");
    }
    void Script(const std::string& name, const std::string& text) {
        test::WriteFile(scripts_ + name, text);
    }
    // Starts the server and logs a client in.
    void Connect() {
        ASSERT_TRUE(server_.Start());
        ASSERT_TRUE(client_.Connect(server_.port()));
        auto login = client_.Call("OpenUsr ann secret");
        ASSERT_TRUE(login);
        ASSERT_EQ(login->data, "RE:OK.");
    }
    test::Frame Run(const std::string& argument) {
        auto reply = client_.Call("Run " + argument, 0, 20);
        EXPECT_TRUE(reply) << argument;
        return reply ? *reply : test::Frame{};
    }

    test::ServerProcess server_;
    test::TestClient client_;
    std::string scripts_;
};

TEST_F(RunRequest, OutputParametersAndStoreReadsAreTheReplyAndTheEndIsLogged) {
    Script("ab.scr", "proc main()\nout \"a\" + \"b\"\nendproc\n");
    Script("echo.scr", "proc main(a, b)\nout b + a\nendproc\n");
    server_.AddReceiver("R1");
    Script("reg.scr",
           "proc main()\nprivate p\nprivate y\np = \"Receivers\\R1\\Interface\"\ny = $p\n"
           "out y + \"|\"\np = \"Scripts\"\ny = $p\nout y + \"|\"\np = \"Nothing\"\ny = $p\nout y\n"
           "endproc\n");
    std::string body;
    for (int i = 0; i < 9; ++i) body += "out \"" + std::string(500, 'o') + "\"\n";
    Script("big.scr", "proc main()\n" + body + "out \"z\"\nendproc\n");
    Connect();
    auto r = Run("ab");
    EXPECT_EQ(r.data, "ab");
    EXPECT_EQ(r.code, 1u);
    EXPECT_TRUE(server_.WaitForLog("SC:Exit from script"));
    EXPECT_EQ(Run("echo.scr x y").data, "yx");
    EXPECT_EQ(Run("reg").data, "TCP 127.0.0.1|" + scripts_ + "|NOT VALUE!");
    EXPECT_EQ(Run("big").data.size(), 4001u);
    EXPECT_TRUE(server_.WaitForLog("ER:Output overflow"));
}

TEST_F(RunRequest, ServerCallsGoThroughTheRequestTable) {
    Script("calls.scr",
           "proc main()\n"
           "out server(\"Ping\")+ \"|\"\n"
           "out server(\"Run ab\")+ \"|\"\n"
           "out server(\"Command print,/par/rcv/model\")+ \"|\"\n"
           "out server(\"OpenUsr Script Zelmar script-task\")+ \"|\"\n"
           "out server(\"GetRcvList\")+ \"|\"\n"
           "out server(\"Get Usr\")\n"
           "endproc\n");
    server_.AddReceiver("R1");
    Connect();
    auto r = Run("calls");
    EXPECT_EQ(r.code, 1u);
    const std::string expect_start =
        "ER:Invalid type request|ER:Unknown type request|ER:Receiver reply timeout!|RE:OK.|"
        "RE:R1,|RE:";
    EXPECT_EQ(r.data.substr(0, expect_start.size()), expect_start) << r.data;
    // The Script user is listed while the script runs.
    EXPECT_NE(r.data.find("Script"), std::string::npos) << r.data;
}

// A script that opens a receiver and leaves it open: the run closes it behind the script.
TEST_F(RunRequest, ScriptCommandsAReceiverAndTheRunClosesWhatItLeftOpen) {
    simtest::Sim sim;
    ASSERT_TRUE(sim.StartPty({"--ports", server_.Ports(), "--com", "2", "--model", "SIM-7"}));
    server_.AddReceiver("roof", true, "COM 2");
    Script("model.scr",
           "proc main(name)\n"
           "server(\"OpenUsr Script Zelmar roof-check\")\n"
           "out server(\"OpenRcv \" + name)+ \"|\"\n"
           "out server(\"Command print,/par/rcv/model\")\n"
           "endproc\n");
    Connect();
    auto r = client_.Call("Run model roof", 0, 60);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data, "RE:OK.|RE005SIM-7");
    EXPECT_TRUE(server_.WaitForLog("Dev/COM 2 thread terminated."));
    // Nothing holds it any more: a client opens it afresh.
    auto open = client_.Call("OpenRcv roof", 1, 30);
    ASSERT_TRUE(open);
    EXPECT_EQ(open->data, "RE:OK.");
}

TEST_F(RunRequest, FailuresToLoadExceptionsAndEndlessScriptsLeaveTheServerServing) {
    Script("nomain.scr", "proc other()\nendproc\n");
    Script("inc.scr", "#include gone.inc\nproc main()\nendproc\n");
    Script("bad.scr", "proc main()\nout \"x\"\nout missing\nendproc\n");
    Script("spin.scr", "proc main()\ndo\nenddo\nendproc\n");
    Script("echo.scr", "proc main(a, b)\nout b + a\nendproc\n");
    test::WriteFile(server_.home() + "/outside.scr", "proc main()\nout \"leak\"\nendproc\n");
    Connect();
    struct Case {
        const char* argument;
        const char* reply;
    } cases[] = {
        {"absent", "ER:Script don't exist!"},
        {"../outside", "ER:Script don't exist!"},
        {"inc", "ER:File name don't exist!"},
        {"nomain", "ER:absent main prog"},
        {"echo 1 2 3 4 5 6 7 8 9 10", "ER:Counter parameters > 10!"},
    };
    for (const Case& c : cases) {
        auto r = Run(c.argument);
        EXPECT_EQ(r.data, c.reply) << c.argument;
        EXPECT_EQ(r.code, 0u) << c.argument;
    }
    // The exception report is the reply, with code 1, and is logged.
    auto r = Run("bad");
    EXPECT_EQ(r.code, 1u);
    const std::string header = "x\n\nEXCEPTION! proc : main #4 " +
                               std::string(script::StateText(script::kUndeclaredVariable)) +
                               "\nPublic Variable : ";
    EXPECT_EQ(r.data.substr(0, header.size()), header);
    EXPECT_TRUE(server_.WaitForLog("EXCEPTION! proc : main #4"));
    EXPECT_NE(Run("spin").data.find(script::StateText(script::kStepLimit)), std::string::npos);
    EXPECT_EQ(client_.Ask("GetRcvList"), "RE:");
}

TEST_F(RunRequest, ScriptUserExistsOnlyInARunOfALoggedInClient) {
    Script("login.scr", "proc main()\nout server(\"OpenUsr Script Zelmar t\")\nendproc\n");
    Connect();
    EXPECT_EQ(Run("login").data, "RE:OK.");
    EXPECT_FALSE(server_.store().KeyExists("Users\\Script"));
    EXPECT_TRUE(server_.store().KeyExists("Users\\ann"));
    // Outside a script the built-in user is not there to log in with.
    auto anonymous = server_.Client();
    EXPECT_EQ(anonymous->Ask("OpenUsr Script Zelmar"), "ER:Cannot find user.");
    // A client that has not logged in cannot run scripts, also after a refused login.
    auto r = anonymous->Call("Run login");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data, "ER:User not open!");
    EXPECT_EQ(r->code, 0u);
    EXPECT_EQ(anonymous->Ask("OpenUsr ann wrong"), "ER:Incorrect user password.");
    EXPECT_EQ(anonymous->Ask("Run login"), "ER:User not open!");
    EXPECT_FALSE(server_.store().KeyExists("Users\\Script"));
}

TEST_F(RunRequest, ServerStopsWhileAScriptSleeps) {
    Script("nap.scr", "proc main()\nsleep(\"600000\")\nendproc\n");
    Connect();
    ASSERT_TRUE(client_.Request("Run nap"));
    ASSERT_TRUE(server_.WaitForLog("Run nap"));
    const uint32_t start = platform::TickCount();
    auto status = server_.Stop();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
    EXPECT_LT(platform::TickCount() - start, 10000u);
}

}  // namespace
}  // namespace orvana
