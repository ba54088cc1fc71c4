// Get and Set through the server binary: rights come from the login, writes reach the store the
// server logs users in from, and the port inventory reads the server's ports folder.

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

#include "admin/admin_requests.h"
#include "core/config_keys.h"
#include "tests/orvanasim_harness.h"
#include "tests/server_harness.h"

namespace orvana {
namespace {

using test::ServerProcess;
using test::TestClient;

class AdminRequests : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.AddUser("root", "rpw", 5);
        server_.AddUser("ann", "apw", 5);
        server_.store().WriteFlag(std::string(cfg::kUsersKey) + "ann", cfg::kSuperUser.name, false);
        server_.AddReceiver("mast");
        server_.store().WriteText("Interface\\TCP 127.0.0.1", cfg::kInterfacePassword.name,
                                  "s3cret");
    }
    void StartWithPorts() {
        for (const char* n : {"COM7", "COM2"})
            ASSERT_EQ(symlink("/dev/null", (server_.Ports() + "/" + n).c_str()), 0);
        ASSERT_TRUE(server_.Start());
    }
    std::unique_ptr<TestClient> LoggedIn(const std::string& user, const std::string& password,
                                         const std::string& task = "") {
        return server_.Client("OpenUsr " + user + " " + password +
                              (task.empty() ? "" : " " + task));
    }
    static std::string Reply(TestClient& c, const std::string& request) { return c.Ask(request); }

    ServerProcess server_;
};

TEST_F(AdminRequests, UserWithoutTheSuperUserRightReadsListsButNoSecretsAndWritesNothing) {
    StartWithPorts();
    auto ann = LoggedIn("ann", "apw");
    EXPECT_EQ(Reply(*ann, "Get Usr"), "RE:ann/e\nroot/e\n");
    EXPECT_EQ(Reply(*ann, "Get Rcv"), "RE:mast/e\n");
    EXPECT_EQ(Reply(*ann, "Get CList").substr(0, 15), "RE:Date Start/1");
    for (const char* request :
         {"Get Usr root", "Get Rcv mast", "Set Usr ann/eALL/new/9/", "Set Usr root/dALL/x/1/",
          "Set Rcv mast/eTCP 1.2.3.4/1/1/,a/b/c/d/e/f/g/h/i/"})
        EXPECT_EQ(Reply(*ann, request), admin::kNotAuthorized) << request;
    // Nothing was written: both users still log in with their old passwords.
    LoggedIn("root", "rpw");
    LoggedIn("ann", "apw");
    EXPECT_EQ(server_.store().ReadText("Receivers\\mast", cfg::kInterface.name, ""),
              "TCP 127.0.0.1");
    // The port inventory lists the COM links of the ports folder.
    EXPECT_EQ(Reply(*ann, "Get Rcv #"),
              "RE:COM{COM 2/COM 7}SPEED{115200/921600/460800/230400/57600/38400/19200/9600}USB{}");
}

TEST_F(AdminRequests, SuperUserAdministersUsersAndReceiversOfTheRunningServer) {
    StartWithPorts();
    auto root = LoggedIn("root", "rpw");
    EXPECT_EQ(Reply(*root, "Get Rcv mast"), "RE:TCP 127.0.0.1/s3cret///Unknown");
    EXPECT_EQ(Reply(*root, "Set Usr bob/emast,/bpw/2/"), "RE:OK.");
    EXPECT_EQ(Reply(*root, "Get Usr bob"), "RE:mast,/bpw/2/\n");
    // The new user logs in at once and sees the receiver its access list names.
    auto bob = LoggedIn("bob", "bpw");
    EXPECT_EQ(Reply(*bob, "GetRcvList"), Reply(*root, "GetRcvList"));
    EXPECT_EQ(Reply(*root, "Set Usr bob/dmast,/bpw/2/"), "RE:OK.");
    TestClient late;
    ASSERT_TRUE(late.Connect(server_.port()));
    EXPECT_EQ(Reply(late, "OpenUsr bob bpw").substr(0, 3), "ER:");

    EXPECT_EQ(Reply(*root, "Set Rcv roof/dCOM 2/57600/0/,north/P7/30/10/x/y/z/ANT1/0.1/"),
              "RE:OK.");
    EXPECT_EQ(Reply(*root, "Get Rcv roof"), "RE:COM 2/57600/0/north/P7");
    EXPECT_EQ(Reply(*root, "Get Rcv"), "RE:mast/e\nroof/d\n");
}

// Two clients holding receivers open on simulated receivers: one row per attachment, sessions
// in slot order, each session's handles in order.
TEST_F(AdminRequests, ConnectionListShowsEveryOpenAttachment) {
    simtest::Sim north_sim, south_sim;
    ASSERT_TRUE(north_sim.StartPty({"--ports", server_.Ports(), "--com", "1"}));
    ASSERT_TRUE(south_sim.StartPty({"--ports", server_.Ports(), "--com", "3"}));
    server_.AddReceiver("north", true, "COM 1");
    server_.AddReceiver("south", true, "COM 3");
    ASSERT_TRUE(server_.Start());
    auto ann = LoggedIn("ann", "apw", "survey");
    auto root = LoggedIn("root", "rpw", "monitor");
    EXPECT_EQ(Reply(*ann, "Get CList C"), "ER:syntax error");
    auto open = [](TestClient& c, const std::string& name, uint8_t handle) {
        return c.Ask("OpenRcv " + name, handle, 30);
    };
    ASSERT_EQ(open(*ann, "north", 1), "RE:OK.");
    ASSERT_EQ(open(*root, "north", 1), "RE:OK.");
    ASSERT_EQ(open(*root, "south", 2), "RE:OK.");

    ASSERT_EQ(Reply(*ann, "Get CList").substr(0, 15), "RE:Date Start/1");
    EXPECT_EQ(Reply(*ann, "Get CList C"), "RE:north/ann/\nnorth/root/\nsouth/root/");
    EXPECT_EQ(Reply(*ann, "Get CList 0"), "RE:\n\n");
    const std::string full = Reply(*root, "Get CList F");
    const std::string when = "[0-9]{2}/[0-9]{2}  [0-9]{2}:[0-9]{2}:[0-9]{2}";
    EXPECT_TRUE(std::regex_match(full, std::regex("RE:" + when + "/22/north/ann/\n" + when +
                                                  "/22/north/root/\n" + when + "/22/south/root/")))
        << full;
    // The wider mask: task, address, interface and messages (none asked for yet).
    const std::string wide = Reply(*root, "Get CList F4");
    EXPECT_TRUE(std::regex_match(wide, std::regex("RE:north/survey/127\\.0\\.0\\.1:[0-9]+/COM 1//\n"
                                                  "north/monitor/127\\.0\\.0\\.1:[0-9]+/COM 1//\n"
                                                  "south/monitor/127\\.0\\.0\\.1:[0-9]+/COM 3//")))
        << wide;

    // Rows go with the attachments: a closed handle, then a client that went away.
    auto closed = root->Call("CloseRcv", 1, 30);
    ASSERT_TRUE(closed && closed->data.rfind("RE:OK.", 0) == 0);
    EXPECT_EQ(Reply(*ann, "Get CList C"), "RE:north/ann/\nsouth/root/");
    root.reset();
    std::string rows;
    test::WaitUntil([&] { return (rows = Reply(*ann, "Get CList C")) == "RE:north/ann/"; }, 10000);
    EXPECT_EQ(rows, "RE:north/ann/");
}

}  // namespace
}  // namespace orvana
