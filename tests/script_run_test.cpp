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

TEST_F(RunRequest, OutputIsTheReplyAndTheEndIsLogged) {
    Script("ab.scr", "proc main()\nout \"a\" + \"b\"\nendproc\n");
    Connect();
    auto r = Run("ab");
    EXPECT_EQ(r.data, "ab");
    EXPECT_EQ(r.code, 1u);
    EXPECT_TRUE(server_.WaitForLog("SC:Exit from script"));
}

TEST_F(RunRequest, ParametersReachMain) {
    Script("echo.scr", "proc main(a, b)\nout b + a\nendproc\n");
    Connect();
    EXPECT_EQ(Run("echo.scr x y").data, "yx");
    auto ten = Run("echo 1 2 3 4 5 6 7 8 9 10");
    EXPECT_EQ(ten.data, "ER:Counter parameters > 10!");
    EXPECT_EQ(ten.code, 0u);
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
    const std::string ports = server_.home() + "/ports";
    std::filesystem::create_directories(ports);
    simtest::Sim sim;
    ASSERT_TRUE(sim.StartPty({"--ports", ports, "--com", "2", "--model", "SIM-7"}));
    server_.store().WriteText("Receivers\\roof", cfg::kInterface.name, "COM 2");
    server_.store().WriteFlag("Receivers\\roof", cfg::kEnableRcv.name, true);
    Script("model.scr",
           "proc main(name)\n"
           "server(\"OpenUsr Script Zelmar roof-check\")\n"
           "out server(\"OpenRcv \" + name)+ \"|\"\n"
           "out server(\"Command print,/par/rcv/model\")\n"
           "endproc\n");
    ASSERT_TRUE(server_.Start({}, {"--ports", ports}));
    ASSERT_TRUE(client_.Connect(server_.port()));
    ASSERT_EQ(client_.Call("OpenUsr ann secret")->data, "RE:OK.");
    auto r = client_.Call("Run model roof", 0, 60);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data, "RE:OK.|RE005SIM-7");
    EXPECT_TRUE(server_.WaitForLog("Dev/COM 2 thread terminated."));
    // Nothing holds it any more: a client opens it afresh.
    auto open = client_.Call("OpenRcv roof", 1, 30);
    ASSERT_TRUE(open);
    EXPECT_EQ(open->data, "RE:OK.");
}

TEST_F(RunRequest, ScriptUserIsRemovedAfterTheRun) {
    Script("login.scr", "proc main()\nout server(\"OpenUsr Script Zelmar t\")\nendproc\n");
    Connect();
    EXPECT_EQ(Run("login").data, "RE:OK.");
    EXPECT_FALSE(server_.store().KeyExists("Users\\Script"));
    EXPECT_TRUE(server_.store().KeyExists("Users\\ann"));
    // Outside a script the built-in user is not there to log in with.
    test::TestClient other;
    ASSERT_TRUE(other.Connect(server_.port()));
    EXPECT_EQ(other.Call("OpenUsr Script Zelmar")->data, "ER:Cannot find user.");
}

TEST_F(RunRequest, StoreReadsOfTheActiveConfiguration) {
    server_.AddReceiver("R1");
    Script("reg.scr",
           "proc main()\nprivate p\nprivate y\np = \"Receivers\\R1\\Interface\"\ny = $p\n"
           "out y + \"|\"\np = \"Scripts\"\ny = $p\nout y + \"|\"\np = \"Nothing\"\ny = $p\nout y\n"
           "endproc\n");
    Connect();
    EXPECT_EQ(Run("reg").data, "TCP 127.0.0.1|" + scripts_ + "|NOT VALUE!");
}

TEST_F(RunRequest, ExceptionReportIsTheReplyAndIsLogged) {
    Script("bad.scr", "proc main()\nout \"x\"\nout missing\nendproc\n");
    Connect();
    auto r = Run("bad");
    EXPECT_EQ(r.code, 1u);
    const std::string header = "x\n\nEXCEPTION! proc : main #4 " +
                               std::string(script::StateText(script::kUndeclaredVariable)) +
                               "\nPublic Variable : ";
    EXPECT_EQ(r.data.substr(0, header.size()), header);
    EXPECT_TRUE(server_.WaitForLog("EXCEPTION! proc : main #4"));
}

TEST_F(RunRequest, FailuresToLoadAnswerWithCodeZero) {
    Script("nomain.scr", "proc other()\nendproc\n");
    Script("inc.scr", "#include gone.inc\nproc main()\nendproc\n");
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
    };
    for (const Case& c : cases) {
        auto r = Run(c.argument);
        EXPECT_EQ(r.data, c.reply) << c.argument;
        EXPECT_EQ(r.code, 0u) << c.argument;
    }
    // The server is still serving.
    EXPECT_EQ(client_.Call("GetRcvList")->data, "RE:");
}

TEST_F(RunRequest, ClientThatHasNotLoggedInCannotRunScripts) {
    Script("login.scr", "proc main()\nout server(\"OpenUsr Script Zelmar t\")\nendproc\n");
    Connect();
    test::TestClient anonymous;
    ASSERT_TRUE(anonymous.Connect(server_.port()));
    auto r = anonymous.Call("Run login");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data, "ER:User not open!");
    EXPECT_EQ(r->code, 0u);
    auto refused = anonymous.Call("OpenUsr ann wrong");
    ASSERT_TRUE(refused);
    EXPECT_EQ(anonymous.Call("Run login")->data, "ER:User not open!");
    EXPECT_FALSE(server_.store().KeyExists("Users\\Script"));
}

TEST_F(RunRequest, OutputOverflowIsLogged) {
    std::string body;
    for (int i = 0; i < 9; ++i) body += "out \"" + std::string(500, 'o') + "\"\n";
    Script("big.scr", "proc main()\n" + body + "out \"z\"\nendproc\n");
    Connect();
    auto r = Run("big");
    EXPECT_EQ(r.data.size(), 4001u);
    EXPECT_TRUE(server_.WaitForLog("ER:Output overflow"));
}

TEST_F(RunRequest, EndlessScriptEndsWithoutHangingTheServer) {
    Script("spin.scr", "proc main()\ndo\nenddo\nendproc\n");
    Connect();
    auto r = Run("spin");
    EXPECT_NE(r.data.find(script::StateText(script::kStepLimit)), std::string::npos);
    EXPECT_EQ(client_.Call("GetRcvList")->data, "RE:");
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
