// DetectRcv through the server binary: orvanasim on pseudo-terminals in the ports folder, one
// silent, one answering at 57600 only, one held open by a client.

#include <gtest/gtest.h>

#include "core/config_keys.h"
#include "tests/streams_harness.h"
#include "tests/tcp_link_harness.h"

namespace orvana::test {
namespace {

class Detection : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.AddUser("ann", "secret", 4);
        server_.AddUser("bob", "secret", 4);
        server_.AddReceiver("Base3", true, "COM 3");
        // What an earlier run found on port 1.
        server_.AddReceiver("COM1", true, "COM 1");
        server_.store().WriteText(std::string(cfg::kInterfaceKey) + "COM 1", cfg::kSpeed.name,
                                  "9600");
        // An interface of another receiver, which no deletion may touch.
        server_.store().WriteText(std::string(cfg::kInterfaceKey) + "TCP 10.0.0.9", cfg::kPort.name,
                                  "8002");
        const std::string ports = server_.Ports();
        ASSERT_TRUE(silent_.StartPty({"--ports", ports, "--com", "1", "--silent"}));
        ASSERT_TRUE(slow_.StartPty({"--ports", ports, "--com", "2", "--speed", "57600"}));
        ASSERT_TRUE(held_.StartPty({"--ports", ports, "--com", "3"}));
        // Silent, and never detected before: there is no entry to delete.
        ASSERT_TRUE(unknown_.StartPty({"--ports", ports, "--com", "4", "--silent"}));
        ASSERT_TRUE(server_.Start());
    }
    void TearDown() override { server_.Stop(); }
    std::unique_ptr<StreamClient> LoggedIn(const std::string& user) {
        return LoggedInStream(server_.port(), user);
    }
    std::string Value(const std::string& key, const char* name) {
        return server_.store().ReadText(key, name, "(none)");
    }

    ServerProcess server_;
    simtest::Sim silent_, slow_, held_, unknown_;
};

TEST_F(Detection, FindsTheAnsweringPortAndForgetsTheSilentOne) {
    auto ann = LoggedIn("ann");
    ASSERT_EQ(Text(ann->Call("OpenRcv Base3", 1, 60)), "RE:OK.");
    auto bob = LoggedIn("bob");
    // Two requests at once: one run, and both are told when it ends.
    auto started = ann->Call("DetectRcv", 0);
    EXPECT_EQ(Text(started), "RE:OK.");
    EXPECT_EQ(started->code, 1u);
    EXPECT_EQ(Text(bob->Call("DetectRcv", 0)), "RE:OK.");
    for (StreamClient* c : {ann.get(), bob.get()}) {
        auto end = c->WaitNotice(0xD00, 120);
        ASSERT_TRUE(end.has_value());
        EXPECT_EQ(end->data, "RE:End detect receivers");
        EXPECT_EQ(end->code, 1u);
        EXPECT_EQ(end->handle, 0u);
    }
    const std::string log = server_.LogText();
    EXPECT_EQ(CountOf(log, "Detect thread COM2 start"), 1u);
    EXPECT_EQ(CountOf(log, "Detect thread COM3"), 0u) << "the held port was probed";

    const std::string receivers = cfg::kReceiversKey, interfaces = cfg::kInterfaceKey;
    EXPECT_EQ(Value(receivers + "COM2", cfg::kInterface.name), "COM 2");
    EXPECT_TRUE(server_.store().ReadFlag(receivers + "COM2", cfg::kEnableRcv.name, false));
    EXPECT_EQ(Value(interfaces + "COM 2", cfg::kSpeed.name), "57600");
    EXPECT_EQ(server_.store().ReadNumber(interfaces + "COM 2", cfg::kRTSCTS.name, 9), 0u);
    EXPECT_FALSE(server_.store().KeyExists(receivers + "COM1"));
    EXPECT_FALSE(server_.store().KeyExists(interfaces + "COM 1"));
    EXPECT_TRUE(server_.store().KeyExists(interfaces + "TCP 10.0.0.9"));
    EXPECT_EQ(Value(receivers + "Base3", cfg::kInterface.name), "COM 3");
    EXPECT_FALSE(server_.store().KeyExists(receivers + "COM3"));

    // Every client heard of the changes to the receiver table.
    std::vector<std::string> notices;
    for (const Frame& f : bob->notices())
        if (f.type == 0x700) notices.push_back(f.data);
    std::sort(notices.begin(), notices.end());
    EXPECT_EQ(notices, (std::vector<std::string>{"RS:COM1,0", "RS:COM2,1"}));

    // The receiver found opens, for a client that logs in now.
    auto later = LoggedIn("bob");
    EXPECT_EQ(Text(later->Call("OpenRcv COM2", 1, 60)), "RE:OK.");
    EXPECT_EQ(Text(later->Call("Command print,/par/rcvid", 1, 30)).rfind("RE", 0), 0u);
    later->Call("CloseRcv", 1, 60);

    const auto run = RunProgram("orvanacli",
                                {"--port", std::to_string(server_.port()), "--user", "bob",
                                 "--password", "secret", "detect"},
                                120000);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("RE:End detect receivers"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace orvana::test
