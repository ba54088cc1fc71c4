// orvanacli's session verbs against the real server and the simulator: a shell run from a file
// and typed on a terminal (a pseudo-terminal) with its history, the status monitor, and the
// JSON output checked by Python's own parser.

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/pty.h"
#include "tests/orvanasim_harness.h"
#include "tests/server_harness.h"

namespace orvana {
namespace {

using Outcome = test::ProgramResult;

class OrvanacliShell : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.AddUser("ann", "apw", 5);
        server_.AddReceiver("Base1", true, "COM 1");
        server_.AddReceiver("Spare", false, "COM 2");
        ASSERT_TRUE(sim_.StartPty({"--ports", server_.Ports(), "--com", "1"}));
        ASSERT_TRUE(server_.Start());
    }
    std::vector<std::string> Ann(std::vector<std::string> rest) const {
        std::vector<std::string> a{
            "--port", std::to_string(server_.port()), "--user", "ann", "--password", "apw"};
        a.insert(a.end(), rest.begin(), rest.end());
        return a;
    }
    std::string Path(const std::string& name) const { return server_.home() + "/" + name; }
    // The orvanacli command line for `sh -c`.
    std::string Command(const std::string& rest) const {
        return test::ProgramPath("orvanacli") + " --port " + std::to_string(server_.port()) +
               " --user ann --password apw " + rest;
    }

    test::ServerProcess server_;
    simtest::Sim sim_;
};

TEST_F(OrvanacliShell, AFileOfVerbsRunsAsOneSessionWhoseStreamsGoOnBehindIt) {
    const std::string record = Path("rt.jps");
    test::WriteFile(Path("session.txt"),
                    "# receivers stay open from one line to the next\n"
                    "open Base1\n"
                    "\n"
                    "attach Base1 jps RT:0.1 --out '" +
                        record +
                        "' --seconds 1\n"
                        "cmd Base1 print,/par/rcv/model\n"
                        "clist F\n"
                        "detach Base1 jps\n"
                        "close\n"
                        "close Base1\n"
                        "open \"Base1\" --bogus x\n"
                        "ping\n");
    const Outcome o = test::RunProgram("orvanacli", Ann({"shell", Path("session.txt")}), 60000);
    EXPECT_EQ(o.status, 0) << o.err;
    // open, attach, command, the connection list header and its row, detach, close, ping.
    const std::string expected_start = "RE:OK.\nRE:OK.\n";
    EXPECT_EQ(o.out.compare(0, expected_start.size(), expected_start), 0) << o.out;
    // The connection list was read on the connection that held the receiver.
    EXPECT_NE(o.out.find("RE:Date Start/16,"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("/Base1/ann/"), std::string::npos) << o.out;
    EXPECT_EQ(test::CountOf(o.out, "RE:OK."), 5u) << o.out;
    // The second close found nothing open; the unknown option was refused; both went on.
    EXPECT_NE(o.err.find("Base1 is not open in this shell"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("unknown option --bogus"), std::string::npos) << o.err;
    // The stream was recorded from the attach to the detach, whole containers only.
    const std::string data = test::ReadFile(record);
    EXPECT_GE(data.size(), 40u);
    EXPECT_EQ(data.compare(0, 22, "0000000001 0000000001 "), 0) << data.substr(0, 40);
    EXPECT_NE(data.find("jps/RT"), std::string::npos);
    // Detached and closed: the receiver is free again.
    EXPECT_TRUE(test::WaitUntil(
        [&] {
            return test::RunProgram("orvanacli", Ann({"clist", "F"})).out ==
                   "RE:Date "
                   "Start/16,Send/8,Receiver/9,User/11,Task/11,Address/14,Interface/13,Messages/"
                   "40\nRE:\n";
        },
        10000));

    // A connection option belongs on the command line; a lost server ends the shell with 2.
    const Outcome nested = test::RunProgram(
        "/bin/sh", {"-c", "printf 'ping --host x\\nshell\\nping\\n' | " + Command("shell")}, 30000);
    EXPECT_EQ(nested.status, 0) << nested.err;
    EXPECT_NE(nested.err.find("--host belongs on orvanacli's command line"), std::string::npos);
    EXPECT_NE(nested.err.find("unknown verb \"shell\""), std::string::npos) << nested.err;
    EXPECT_EQ(nested.out, "RE:OK.\n");
}

TEST_F(OrvanacliShell, TypedLinesAreEditedAndComeBackFromTheHistory) {
    std::string error;
    platform::PseudoTerminal pty;
    ASSERT_TRUE(pty.Create(9600, &error)) << error;
    const std::string slave = pty.SlavePath();
    Outcome o;
    std::thread shell([&] {
        o = test::RunProgram("/bin/sh",
                             {"-c", "exec <>" + slave + " >&0; exec " + Command("shell")}, 60000);
    });
    std::string screen;
    auto read_until = [&](const std::string& text, size_t count) {
        return test::WaitUntil(
            [&] {
                char buffer[4096];
                while (pty.WaitReadable(50) == 1) {
                    const long n = pty.Read(buffer, sizeof buffer);
                    if (n <= 0) break;
                    screen.append(buffer, static_cast<size_t>(n));
                }
                return test::CountOf(screen, text) >= count;
            },
            20000);
    };
    auto type = [&](const std::string& keys) { pty.Write(keys.data(), keys.size(), 2000); };
    ASSERT_TRUE(read_until("orvanacli> ", 1)) << screen;
    // "pinx", a backspace and "g": the server answers the edited line.
    type("pinx\x7fg\r");
    ASSERT_TRUE(read_until("RE:OK.", 1)) << screen;
    ASSERT_TRUE(read_until("orvanacli> ", 2)) << screen;
    // Up arrow brings "ping" back; Ctrl-C drops a half-typed line.
    type("\x1b[A\r");
    ASSERT_TRUE(read_until("RE:OK.", 2)) << screen;
    type("close Bas\x03");
    ASSERT_TRUE(read_until("^C", 1)) << screen;
    type("rcvlist\r");
    ASSERT_TRUE(read_until("RE:Base1", 1)) << screen;
    type("\x04");  // Ctrl-D on an empty line ends the shell
    shell.join();
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(screen.find("is not open"), std::string::npos) << screen;
}

TEST_F(OrvanacliShell, StatusShowsReceiversConnectionsAndTheirTraffic) {
    test::TestClient held;
    ASSERT_TRUE(held.Connect(server_.port()));
    ASSERT_EQ(held.Ask("OpenUsr ann apw holder"), "RE:OK.");
    ASSERT_EQ(held.Ask("OpenRcv Base1", 1, 30), "RE:OK.");
    ASSERT_EQ(held.Ask("Attach 0,RT:0.1", 1), "RE:OK.");

    const Outcome o = test::RunProgram("orvanacli", Ann({"status", "--seconds", "5"}), 60000);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("receivers 1 enabled of 2, 1 open"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Spare            disabled"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("holder"), std::string::npos) << o.out;
    // The first refresh cannot know a rate yet; the second knows how fast the holder is fed (ten
    // RT messages a second).
    EXPECT_NE(o.out.find("          -  jps/RT:0.1,"), std::string::npos) << o.out;
    EXPECT_TRUE(std::regex_search(o.out, std::regex(" [1-9][0-9.]* [KM]?B/s  jps/RT:0.1,")))
        << o.out;

    // Every line of --json output, replies and the monitor alike, is one JSON object.
    const Outcome json = test::RunProgram(
        "/bin/sh",
        {"-c", "{ " + Command("--json status --seconds 0") + " && " + Command("--json rcvlist") +
                   "; } | python3 -c 'import json,sys\n"
                   "for l in sys.stdin:\n"
                   "  o=json.loads(l)\n"
                   "  print(o[\"kind\"], o.get(\"text\", \"\").split(\"\\n\")[0], "
                   "[c[\"task\"] + \"@\" + c[\"receiver\"] for c in o.get(\"connections\", [])])'"},
        60000);
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_NE(json.out.find("status  ['holder@Base1']"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("reply RE:Base1"), std::string::npos) << json.out;
}

}  // namespace
}  // namespace orvana
