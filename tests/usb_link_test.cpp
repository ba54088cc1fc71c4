// Receivers plugged in by USB, through the server binary and the real libusb code: orvanasim
// plays the receiver on a USB bus that umockdev emulates (a second device of another vendor
// sits beside it), and the server runs with umockdev's preload library.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "core/config_keys.h"
#include "tests/streams_harness.h"
#include "tests/tcp_link_harness.h"

namespace orvana::test {
namespace {

constexpr char kPreload[] = "libumockdev-preload.so.0";
constexpr char kSerial[] = "Ab12Cd34Ef56";
constexpr char kIdentifier[] = "AB12CD34EF5";

bool PreloadInstalled() {
    for (const char* dir : {"/usr/lib/x86_64-linux-gnu", "/usr/lib/aarch64-linux-gnu", "/usr/lib"})
        if (std::filesystem::exists(std::string(dir) + "/" + kPreload)) return true;
    return false;
}

class UsbLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!PreloadInstalled()) GTEST_SKIP() << "umockdev is not installed";
        server_.AddUser("ann", "secret", 4);
    }
    void TearDown() override { server_.Stop(); }
    // The simulated receiver on its bus, then the server that sees that bus.
    void Start(std::vector<std::string> sim_args = {}) {
        sim_args.insert(sim_args.begin(), {"--usb", kSerial});
        auto testbed = sim_.Start(sim_args, "USB testbed ");
        ASSERT_TRUE(testbed.has_value());
        // The preload library comes before a sanitizer's runtime in the server's library list.
        const char* asan = std::getenv("ASAN_OPTIONS");
        ASSERT_TRUE(server_.Start(
            {std::string("LD_PRELOAD=") + kPreload, "UMOCKDEV_DIR=" + *testbed,
             std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"}));
    }
    std::unique_ptr<StreamClient> LoggedIn() { return LoggedInStream(server_.port(), "ann"); }

    ServerProcess server_;
    simtest::Sim sim_;
};

TEST_F(UsbLinkTest, AnyPieceOfTheDevicePathInAnyCaseOpensTheReceiver) {
    server_.AddReceiver("Roof", true, "USB 12CD34");
    server_.AddReceiver("Mast", true, "USB VID_1209&PID_0001#AB12");
    Start();
    auto c = LoggedIn();
    for (const char* name : {"Roof", "Mast"}) {
        ASSERT_EQ(Text(c->Call(std::string("OpenRcv ") + name, 1, 60)), "RE:OK.") << name;
        const std::string reply = Text(c->Call("Command print,/par/rcv/model", 1, 30));
        EXPECT_NE(reply.find("SIM-GNSS-1"), std::string::npos) << reply;
        // The reader has a read pending that would last 99999 ms: closing ends it at once.
        const uint32_t start = platform::TickCount();
        EXPECT_EQ(Text(c->Call("CloseRcv", 1, 60)).rfind("RE:OK.", 0), 0u);
        EXPECT_LT(platform::TickCount() - start, 30000u) << "the pending read held up the close";
    }
    EXPECT_TRUE(server_.WaitForLog("Dev/USB 12cd34 thread started."));
    EXPECT_TRUE(server_.WaitForLog("Dev/USB 12cd34 thread terminated."));
    EXPECT_TRUE(server_.WaitForLog("Dev/USB vid_1209&pid_0001#ab12 thread terminated."));
}

TEST_F(UsbLinkTest, NoMatchingDeviceAndASingleBulkEndpointAreRefused) {
    // The other vendor's device matches the text but is no receiver.
    server_.AddReceiver("Other", true, "USB vid_0bda");
    server_.AddReceiver("Half", true, "USB ab12");
    Start({"--usb-endpoints", "1"});
    auto c = LoggedIn();
    EXPECT_EQ(Text(c->Call("OpenRcv Other", 1, 60)), "ER:Can't open receiver:Other");
    EXPECT_EQ(Text(c->Call("OpenRcv Half", 1, 60)), "ER:Can't open receiver:Half");
    const std::string log = server_.LogText();
    EXPECT_EQ(CountOf(log, "ER:Cannot open device"), 2u) << log;
    EXPECT_EQ(CountOf(log, "Dev/USB"), 0u) << "a reader started";
}

TEST_F(UsbLinkTest, APulledOutReceiverIsGivenUpAndItsClientsAreTold) {
    server_.AddReceiver("Roof", true, "USB ab12");
    Start({"--disconnect-after", "1200"});
    auto c = LoggedIn();
    ASSERT_EQ(Text(c->Call("OpenRcv Roof", 1, 60)), "RE:OK.");
    ASSERT_EQ(Text(c->Call("Attach 0,RT:0.1")), "RE:OK.");
    auto lost = c->WaitNotice(0xC00, 60);
    ASSERT_TRUE(lost.has_value());
    EXPECT_EQ(lost->data, "ER:Connection lost to receiver:Roof");
    EXPECT_TRUE(server_.WaitForLog("Dev/USB ab12 device lost"));
    EXPECT_TRUE(server_.WaitForLog("Dev/USB ab12 thread terminated."));
}

TEST_F(UsbLinkTest, DetectionConfiguresTheReceiverUnderItsIdentifier) {
    Start();
    const std::string name = std::string("USB") + kIdentifier;
    const auto run = RunProgram("orvanacli",
                                {"--port", std::to_string(server_.port()), "--user", "ann",
                                 "--password", "secret", "detect"},
                                120000);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("RS:" + name + ",1"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("RE:End detect receivers"), std::string::npos) << run.out;

    const std::string receiver = cfg::kReceiversKey + name;
    const std::string interface_key = std::string(cfg::kInterfaceKey) + "USB " + kIdentifier;
    EXPECT_EQ(server_.store().ReadText(receiver, cfg::kInterface.name, ""),
              std::string("USB ") + kIdentifier);
    EXPECT_TRUE(server_.store().ReadFlag(receiver, cfg::kEnableRcv.name, false));
    EXPECT_EQ(server_.store().ReadText(interface_key, cfg::kID.name, ""), kIdentifier);
    EXPECT_FALSE(server_.store().KeyExists(cfg::kReceiversKey + std::string("USB1-1")))
        << "the other vendor's device was configured";

    // The receiver found opens at once, and a second run registers nothing twice.
    auto c = LoggedIn();
    ASSERT_EQ(Text(c->Call("OpenRcv " + name, 1, 60)), "RE:OK.");
    EXPECT_EQ(Text(c->Call("DetectRcv", 0)), "RE:OK.");
    ASSERT_TRUE(c->WaitNotice(0xD00, 120).has_value());
    size_t registered = 0;
    for (const Frame& f : c->notices()) registered += f.type == 0x700;
    EXPECT_EQ(registered, 0u);
}

}  // namespace
}  // namespace orvana::test
