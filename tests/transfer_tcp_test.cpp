// Downloads from TCP receivers through the server binary: on a second connection to orvanasim
// while the first keeps serving commands, and through the receiver's own FTP server (a real one,
// on loopback port 21, which needs root).

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "core/config_keys.h"
#include "core/request_client.h"
#include "platform/net.h"
#include "tests/tcp_link_harness.h"
#include "tests/transfer_harness.h"

namespace orvana::test {
namespace {

class TcpTransfer : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.AddUser("ann", "secret", 4);
        files_ = server_.home() + "/receiver-log";
        std::filesystem::create_directories(files_);
    }
    void TearDown() override { server_.Stop(); }
    // The simulator on `address` with the receiver's files, as receiver "tcp" (login "pw1").
    void StartReceiver(const std::string& address = "127.0.0.1") {
        transcript_ = server_.home() + "/sim-transcript.txt";
        ASSERT_TRUE(sim_.Start({"--address", address, "--login", "pw1", "--files", files_,
                                "--transcript", transcript_}));
        AddTcpReceiver(server_.store(), "tcp", "TCP " + address, sim_.port(), "pw1");
    }
    std::unique_ptr<StreamClient> Client(const std::string& host = "127.0.0.1") {
        auto c = LoggedInStream(server_.port(), "ann", host);
        EXPECT_EQ(Text(c->Call("OpenRcv tcp", 1, 60)), "RE:OK.");
        return c;
    }

    ServerProcess server_;
    SimReceiver sim_;
    std::string files_, transcript_;
};

TEST_F(TcpTransfer, DownloadRunsOnASecondConnectionWhileCommandsGoOn) {
    StartReceiver();
    ASSERT_TRUE(server_.Start());
    const std::string content = RandomBytes(600 * 2048 + 17, 21);
    WriteFile(files_ + "/big.dat", content);
    auto c = Client();
    ASSERT_EQ(Text(c->Call("DownloadFile big.dat 0")), "RE:OK.");
    // The receiver answers on the first connection while the blocks come on the second; a
    // second client may open it meanwhile.
    auto reply = c->Call("Command print,/par/rcvid", 1, 30);
    EXPECT_EQ(Text(reply).rfind("RE", 0), 0u);
    auto other = Client();
    TransferRun run = Follow(*c, 0x800, 120);
    EXPECT_EQ(run.final_text, "RE:Complete Downloading.");
    EXPECT_TRUE(run.data == content) << run.data.size();
    EXPECT_EQ(run.numbers.size(), 601u);
    const std::string sim_lines = ReadFile(transcript_);
    EXPECT_NE(sim_lines.find("%Loop%"), std::string::npos);
    EXPECT_NE(sim_lines.find("%WL%get,/log/big.dat:{500,2048},0"), std::string::npos);
    // The second connection has gone; the first still serves.
    EXPECT_TRUE(server_.WaitForLog("tcp(TCP 127.0.0.1) thread terminated."));
    EXPECT_EQ(Text(c->Call("Command print,/par/rcvid", 1, 30)).rfind("RE", 0), 0u);
}

TEST_F(TcpTransfer, FirmwareOverASecondConnection) {
    StartReceiver();
    ASSERT_TRUE(server_.Start());
    auto c = Client();
    const std::string image = RandomBytes(3000, 4);
    ASSERT_EQ(c->Call("LoadFile 0 fw2.bin", 0)->code, 1u);
    ASSERT_TRUE(c->raw().SendRaw(BuildRequestFrame("LoadFile 1 -1", 0, image)));
    EXPECT_EQ(Text(c->NextReply()), "INS:-001 3000");
    ASSERT_EQ(Text(c->Call("LoadFirmware fw2.bin")), "RE:OK.");
    TransferRun run = Follow(*c, 0xB00, 60);
    EXPECT_EQ(run.final_text.rfind("RE", 0), 0u) << run.final_text;
    EXPECT_EQ(run.progress, (std::vector<std::string>{"INW:0001 2048", "INW:0002 0952"}));
    EXPECT_TRUE(ReadFile(files_ + "/fw2") == image);
}

TEST_F(TcpTransfer, SecondConnectionRefusedLeavesTheFirstServing) {
    StartReceiver();
    ASSERT_TRUE(server_.Start());
    WriteFile(files_ + "/obs.dat", "x");
    auto c = Client();
    ASSERT_EQ(c->Call("LoadFile 0 fw.bin", 0)->code, 1u);
    ASSERT_TRUE(c->raw().SendRaw(BuildRequestFrame("LoadFile 1 -1", 0, "image")));
    ASSERT_EQ(Text(c->NextReply()), "INS:-001 0005");
    // The receiver now refuses the login of a new connection.
    server_.store().WriteText(std::string(cfg::kInterfaceKey) + "TCP 127.0.0.1",
                              cfg::kInterfacePassword.name, "changed");
    EXPECT_EQ(Text(c->Call("DownloadFile obs.dat 0", 1, 60)), "ER:Can't open receiver:tcp");
    EXPECT_EQ(Text(c->Call("LoadFirmware fw.bin", 1, 60)), "ER:Can't open receiver");
    EXPECT_EQ(Text(c->Call("Command print,/par/rcvid", 1, 30)).rfind("RE", 0), 0u);
    EXPECT_EQ(Text(c->Call("CancelDownload")), "ER:Download not active!");
}

// ---- FTP --------------------------------------------------------------------------------------

bool CanServeFtp() {
    return geteuid() == 0 &&
           RunProgram("/usr/bin/python3", {"-c", "import pyftpdlib"}, 20000).status == 0;
}

class FtpTransfer : public TcpTransfer {
  protected:
    void SetUp() override {
        if (!CanServeFtp()) GTEST_SKIP() << "needs root (port 21) and python3-pyftpdlib";
        TcpTransfer::SetUp();
        // The data connection comes back to the server's own listening address.
        server_.store().WriteText(cfg::kActiveKey, cfg::kIPAdress.name, "127.0.0.2");
    }
    void TearDown() override {
        TcpTransfer::TearDown();
        ftp_.Signal(15);
        ftp_.Wait(5000);
    }
    bool StartFtp(const std::string& address) {
        std::string error;
        if (!ftp_.Start({"/usr/bin/python3", SourcePath("tests/support/ftp_server.py"), address,
                         files_, "pw1"},
                        &error)) {
            ADD_FAILURE() << error;
            return false;
        }
        return ftp_.WaitForLine("ready", 20000).has_value();
    }
    void UseFtp(const std::string& address) {
        server_.store().WriteFlag(std::string(cfg::kInterfaceKey) + "TCP " + address,
                                  cfg::kUSEFTP.name, true);
    }
    platform::Subprocess ftp_;
};

TEST_F(FtpTransfer, DownloadFromTheReceiversFtpServer) {
    StartReceiver("127.0.0.3");
    UseFtp("127.0.0.3");
    ASSERT_TRUE(StartFtp("127.0.0.3"));
    ASSERT_TRUE(server_.Start());
    const std::string content = RandomBytes(20000, 8);
    WriteFile(files_ + "/obs.dat", content);
    auto c = Client("127.0.0.2");
    ASSERT_EQ(Text(c->Call("DownloadFile obs.dat 0")), "RE:OK.");
    TransferRun run = Follow(*c, 0x800, 60);
    EXPECT_EQ(run.final_text, "RE:Complete Downloading.");
    EXPECT_TRUE(run.data == content) << run.data.size();
    ASSERT_FALSE(run.numbers.empty());
    EXPECT_EQ(run.numbers.front(), "0000");
    // From an offset: the bytes before it are dropped, the numbers start at its block.
    ASSERT_EQ(Text(c->Call("DownloadFile obs.dat 5000")), "RE:OK.");
    run = Follow(*c, 0x800, 60);
    EXPECT_EQ(run.final_text, "RE:Complete Downloading.");
    EXPECT_TRUE(run.data == content.substr(5000)) << run.data.size();
    ASSERT_FALSE(run.numbers.empty());
    EXPECT_EQ(run.numbers.front(), "0002");
    // Active mode to the server's own listening address; the dialogue ends with QUIT.
    EXPECT_TRUE(WaitUntil([&] { return ftp_.Stderr().find("QUIT") != std::string::npos; }, 10000));
    const std::string dialogue = ftp_.Stderr();
    EXPECT_NE(dialogue.find("PORT 127,0,0,2,192,"), std::string::npos) << dialogue;
    EXPECT_NE(dialogue.find("USER Any"), std::string::npos);
}

TEST_F(FtpTransfer, GreetingThatIsNoWelcomeRefusesTheLogon) {
    StartReceiver("127.0.0.4");
    UseFtp("127.0.0.4");
    platform::Ipv4Endpoint at;
    platform::ParseDotted("127.0.0.4", &at.address);
    at.port = 21;
    platform::SocketFd listener = platform::OpenStreamSocket();
    ASSERT_TRUE(platform::Bind(listener, at) && platform::Listen(listener, 1));
    std::thread greeter([listener] {
        if (platform::WaitReadable(listener, 30000) <= 0) return;
        platform::Ipv4Endpoint peer;
        platform::SocketFd fd = platform::Accept(listener, &peer);
        const std::string greeting = "120 Service ready in 5 minutes.\r\n";
        platform::SendAll(fd, greeting.data(), greeting.size(), 5000);
        platform::WaitReadable(fd, 5000);
        platform::CloseSocket(fd);
    });
    ASSERT_TRUE(server_.Start());
    WriteFile(files_ + "/obs.dat", "x");
    auto c = Client("127.0.0.2");
    EXPECT_EQ(Text(c->Call("DownloadFile obs.dat 0", 1, 60)),
              "ER:Logon failed!/120 Service ready in 5 minutes.\r\n");
    greeter.join();
    platform::CloseSocket(listener);
    EXPECT_EQ(Text(c->Call("Command print,/par/rcvid", 1, 30)).rfind("RE", 0), 0u);
}

}  // namespace
}  // namespace orvana::test
