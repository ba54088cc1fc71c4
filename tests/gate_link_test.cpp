// A receiver reached through another server: two orvanasrv processes on the same port number,
// at 127.0.0.1 and 127.0.0.2; the second owns an orvanasim receiver on a pseudo-terminal.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <thread>

#include "core/config_keys.h"
#include "core/server_frames.h"
#include "platform/net.h"
#include "tests/ntrip_harness.h"
#include "tests/streams_harness.h"
#include "tests/tcp_link_harness.h"
#include "tests/transfer_harness.h"

namespace orvana::test {
namespace {

class GateLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string port = std::to_string(FreePort());
        for (ServerProcess* s : {&near_, &far_})
            s->store().WriteText(cfg::kActiveKey, cfg::kPortServer.name, port);
        near_.store().WriteText(cfg::kActiveKey, cfg::kIPAdress.name, "127.0.0.1");
        far_.store().WriteText(cfg::kActiveKey, cfg::kIPAdress.name, "127.0.0.2");
        far_.AddUser("gate", "gpw", 4);
        far_.AddReceiver("Base1", true, "COM 1");
        near_.AddUser("ann", "secret", 4);
        near_.AddReceiver("Far", true, "GATE 127.0.0.2");
        const std::string key = std::string(cfg::kInterfaceKey) + "GATE 127.0.0.2";
        near_.store().WriteText(key, cfg::kUsr.name, "gate gpw");
        near_.store().WriteText(key, cfg::kRcv.name, "Base1");
        // A caster whose mountpoint is the receiver over there.
        EnableCaster(near_.store());
        AddMountpoint(near_.store(), "FAR", "Far", "3,1005:1", true);
        files_ = far_.home() + "/receiver-log";
        std::filesystem::create_directories(files_);
        ASSERT_TRUE(sim_.StartPty({"--ports", far_.Ports(), "--com", "1", "--files", files_}));
        ASSERT_TRUE(far_.Start());
        ASSERT_TRUE(near_.Start());
    }
    void TearDown() override {
        near_.Stop();
        far_.Stop();
    }
    std::unique_ptr<StreamClient> LoggedIn() { return LoggedInStream(near_.port(), "ann"); }

    ServerProcess near_, far_;
    simtest::Sim sim_;
    std::string files_;
};

TEST_F(GateLinkTest, OpensAnswersCommandsAndCloses) {
    auto c = LoggedIn();
    ASSERT_EQ(Text(c->Call("OpenRcv Far", 1, 60)), "RE:OK.");
    EXPECT_TRUE(far_.WaitForLog("OpenUsr gate"));
    // The client's whole request goes over; the other server answers it on the gate's handle.
    EXPECT_EQ(Text(c->Call("Command print,/par/rcvid", 1, 30)), "RE00BSIM00000001");
    EXPECT_TRUE(far_.WaitForLog("> Rcv=1 001801Command print,/par/rcvid"));
    EXPECT_EQ(Text(c->Call("Command print,/par/rcv/model", 1, 30)), "RE00ASIM-GNSS-1");

    // A download runs on the other server; its messages come back to this client.
    const std::string content = RandomBytes(3 * 2048 + 5, 12);
    WriteFile(files_ + "/obs.dat", content);
    ASSERT_EQ(Text(c->Call("DownloadFile obs.dat 0", 1, 90)), "RE:OK.");
    TransferRun run = Follow(*c, 0x800, 60);
    EXPECT_EQ(run.final_text, "RE:Complete Downloading.");
    EXPECT_TRUE(run.data == content) << run.data.size();
    EXPECT_EQ(Text(c->Call("CancelDownload", 1, 30)), "ER:Download not active!");

    EXPECT_EQ(Text(c->Call("CloseRcv", 1, 30)).rfind("RE:OK.", 0), 0u);
    // The link's end releases what it held over there.
    EXPECT_TRUE(far_.WaitForLog("Dev/COM 1 thread terminated."));
    EXPECT_TRUE(near_.WaitForLog("Client link thread terminated"));
}

TEST_F(GateLinkTest, MountpointStreamsTheReceiverOverThere) {
    HttpConnection rover;
    ASSERT_TRUE(rover.Connect(CasterPort(near_)));
    ASSERT_TRUE(rover.Send(GetRequest("FAR", "", false)));
    // Its Attach went over whole: the receiver's messages come back through both servers.
    EXPECT_TRUE(rover.ReadUntil("rtcm/1005", 30000)) << near_.LogText() << far_.LogText();
    EXPECT_EQ(rover.got.rfind("ICY 200 OK\r\n", 0), 0u);
    EXPECT_TRUE(far_.WaitForLog("Attach 3,1005:1"));
}

TEST_F(GateLinkTest, RefusalsOverThereAndTheOtherServerGoing) {
    // A receiver name the other server does not know: its reply is the refusal here.
    near_.store().WriteText(std::string(cfg::kInterfaceKey) + "GATE 127.0.0.2", cfg::kRcv.name,
                            "Nowhere");
    auto c = LoggedIn();
    EXPECT_EQ(Text(c->Call("OpenRcv Far", 1, 60)), "ER:Can't open receiver:Far");
    EXPECT_TRUE(far_.WaitForLog("< Rcv=1 ER:Can't find receiver."));

    near_.store().WriteText(std::string(cfg::kInterfaceKey) + "GATE 127.0.0.2", cfg::kRcv.name,
                            "Base1");
    // A failed open keeps others from trying again at once for a moment; wait it out.
    bool opened = false;
    for (int i = 0; i < 20 && !opened; ++i) {
        opened = Text(c->Call("OpenRcv Far", 1, 60)) == "RE:OK.";
        if (!opened) platform::SleepMs(500);
    }
    ASSERT_TRUE(opened);
    far_.Stop();
    auto lost = c->WaitNotice(0xC00, 30);
    ASSERT_TRUE(lost.has_value());
    EXPECT_EQ(lost->data, "ER:Connection lost to receiver:Far");
}

// The names of the data messages a client received on `handle`, each once.
std::set<std::string> Names(StreamClient& c, unsigned handle) {
    std::set<std::string> names;
    for (const DataFrame& d : c.data())
        if (d.handle == handle) names.insert(d.name);
    return names;
}

TEST_F(GateLinkTest, DataMessagesReachEachClientOnItsOwnHandle) {
    auto ann = LoggedIn();
    auto bob = LoggedIn();
    ASSERT_EQ(Text(ann->Call("OpenRcv Far", 1, 60)), "RE:OK.");
    ASSERT_EQ(Text(bob->Call("OpenRcv Far", 2, 60)), "RE:OK.");
    // Each client's messages over there are kept apart: one stream each.
    EXPECT_EQ(Text(ann->Call("Attach 0,RT:0.2", 1)), "RE:OK.");
    EXPECT_EQ(Text(bob->Call("Attach 0,SI:0.2", 2)), "RE:OK.");
    ASSERT_GE(ann->ReadData(5), 5u);
    ASSERT_GE(bob->ReadData(5), 5u);
    EXPECT_EQ(Names(*ann, 1), std::set<std::string>{"jps/RT"});
    EXPECT_EQ(Names(*bob, 2), std::set<std::string>{"jps/SI"});
    for (StreamClient* c : {ann.get(), bob.get()})
        for (const DataFrame& d : c->data()) EXPECT_TRUE(d.checksum_ok);
    // Commands still go on the link's own channel, between the data.
    EXPECT_EQ(Text(ann->Call("Command print,/par/rcvid", 1, 30)), "RE00BSIM00000001");

    // Bob stops his messages: Ann's go on, his do not.
    EXPECT_EQ(Text(bob->Call("Detach 4", 2)), "RE:OK.");
    bob->ReadFor(500);
    bob->data().clear();
    ann->data().clear();
    ann->ReadData(5);
    bob->ReadFor(1500);
    EXPECT_GE(ann->data().size(), 5u);
    EXPECT_TRUE(bob->data().empty()) << bob->data().size() << " frames after the detach";

    // Bob's close ends his stream over there (the connection's end is logged with the user's
    // name); Ann's is not disturbed.
    EXPECT_EQ(Text(bob->Call("CloseRcv", 2, 30)).rfind("RE:OK.", 0), 0u);
    EXPECT_TRUE(far_.WaitForLog("Client=gate/127.0.0.1:"));
    EXPECT_EQ(CountOf(far_.LogText(), "Client=gate/"), 1u);
    ann->data().clear();
    EXPECT_GE(ann->ReadData(5), 5u);

    // The other server ends mid-stream: Ann hears that the receiver is lost.
    far_.Stop();
    auto lost = ann->WaitNotice(0xC00, 30);
    ASSERT_TRUE(lost.has_value());
    EXPECT_EQ(lost->data, "ER:Connection lost to receiver:Far");
}

// A far "server" that answers the login and the open, then sends frames whose length fields lie
// before the answer to the first command.
class LyingServer {
  public:
    bool Start(uint16_t port) {
        platform::Ipv4Endpoint at;
        platform::ParseDotted("127.0.0.3", &at.address);
        at.port = port;
        listener_ = platform::OpenStreamSocket();
        if (!platform::Bind(listener_, at) || !platform::Listen(listener_, 1)) return false;
        thread_ = std::thread([this] { Serve(); });
        return true;
    }
    ~LyingServer() {
        if (thread_.joinable()) thread_.join();
        platform::CloseSocket(listener_);
    }

  private:
    static std::string Frame(uint16_t type, unsigned code, const std::string& text) {
        std::string out(FrameSize(text.size()), '\0');
        BuildServerFrame(out.data(), type, 1, code, text.data(), text.size());
        return out;
    }
    void Serve() {
        if (platform::WaitReadable(listener_, 30000) <= 0) return;
        platform::Ipv4Endpoint peer;
        platform::SocketFd fd = platform::Accept(listener_, &peer);
        auto send = [fd](const std::string& bytes) {
            platform::SendAll(fd, bytes.data(), bytes.size(), 5000);
        };
        char buffer[4096];
        for (int request = 0; request < 3; ++request) {
            if (platform::WaitReadable(fd, 30000) <= 0) break;
            if (platform::ReceiveOnce(fd, buffer, sizeof buffer, false) <= 0) break;
            if (request == 2) {
                // Shorter than a header; longer than any frame for a receiver; then the true
                // answer.
                send("0005");
                platform::SleepMs(200);
                send("ffff000100" + std::string(40, 'x'));
                platform::SleepMs(200);
            }
            send(Frame(0, 1, request == 2 ? "RE00BSIM00000001" : "RE:OK."));
        }
        platform::WaitReadable(fd, 10000);
        platform::CloseSocket(fd);
    }
    platform::SocketFd listener_ = platform::kNoSocket;
    std::thread thread_;
};

TEST_F(GateLinkTest, FramesWithLyingLengthsAreDropped) {
    near_.AddReceiver("Liar", true, "GATE 127.0.0.3");
    LyingServer liar;
    ASSERT_TRUE(liar.Start(near_.port()));
    near_.Stop();
    ASSERT_TRUE(near_.Start());
    auto c = LoggedIn();
    ASSERT_EQ(Text(c->Call("OpenRcv Liar", 1, 60)), "RE:OK.");
    // The garbage goes, with a line in the log, and the link reads on.
    const std::string reply = Text(c->Call("Command print,/par/rcvid", 1, 90));
    EXPECT_TRUE(near_.WaitForLog("frame dropped")) << near_.LogText();
    EXPECT_EQ(reply, "RE00BSIM00000001");
}

}  // namespace
}  // namespace orvana::test
