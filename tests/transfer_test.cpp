// File transfer through the server binary: downloads and firmware loads between a client and
// orvanasim on a pseudo-terminal, with the simulator's faults.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "core/request_client.h"
#include "tests/ntrip_harness.h"
#include "tests/transfer_harness.h"

namespace orvana::test {
namespace {

class TransferFixture : public StreamsFixture {
  protected:
    void StartWithFiles(std::vector<std::string> extra = {}) {
        files_ = server_.home() + "/receiver-log";
        std::filesystem::create_directories(files_);
        extra.insert(extra.begin(), {"--files", files_});
        Start(extra);
    }
    void PutReceiverFile(const std::string& name, const std::string& content) {
        WriteFile(files_ + "/" + name, content);
    }
    // The control bytes the simulator received, in order ("<15>" asks for a block, "<06>"
    // accepts one).
    std::string ControlBytes() const {
        std::string out;
        for (const std::string& l : SimLines())
            if (l == "<15>" || l == "<06>") out += l;
        return out;
    }
    // Copies `content` into the user's folder with LoadFile as `name`, in pieces of `piece`.
    void Upload(StreamClient& c, const std::string& name, const std::string& content,
                size_t piece = 2000) {
        auto opened = c.Call("LoadFile 0 " + name, 0);
        ASSERT_EQ(Text(opened), "RE:OK.");
        const unsigned slot = opened->code;
        ASSERT_TRUE(slot == 1 || slot == 2);
        const size_t pieces = (content.size() + piece - 1) / piece;
        for (size_t k = 1; k <= pieces; ++k) {
            const long counter = k == pieces ? -static_cast<long>(k) : static_cast<long>(k);
            const std::string text =
                "LoadFile " + std::to_string(slot) + " " + std::to_string(counter);
            ASSERT_TRUE(c.raw().SendRaw(
                BuildRequestFrame(text, 0, content.substr((k - 1) * piece, piece))));
            auto r = c.NextReply();
            ASSERT_EQ(Text(r).substr(0, 4), "INS:");
        }
    }
    std::string files_;
};

TEST_F(TransferFixture, DownloadRecoversFromBadFramesAndLeavesTheReceiverUsable) {
    StartWithFiles({"--crc-error-block", "1", "--number-error-block", "3"});
    const std::string content = RandomBytes(4 * 2048 + 100, 7);
    PutReceiverFile("obs.dat", content);
    auto c = Client("ann");
    auto reply = c->Call("DownloadFile obs.dat 0");
    ASSERT_EQ(Text(reply), "RE:OK.");
    EXPECT_EQ(reply->code, 1u);
    TransferRun run = Follow(*c, 0x800);
    EXPECT_EQ(run.final_text, "RE:Complete Downloading.");
    EXPECT_TRUE(run.data == content) << run.data.size() << " bytes, " << content.size() << " sent";
    EXPECT_EQ(run.numbers, (std::vector<std::string>{"0001", "0002", "0003", "0004", "0005"}));
    ASSERT_EQ(run.retries.size(), 2u);
    EXPECT_TRUE(run.retries[0].rfind("RT:1 Error CRC ", 0) == 0) << run.retries[0];
    EXPECT_EQ(run.retries[0].size(), std::string("RT:1 Error CRC 0000 0000").size());
    EXPECT_EQ(run.retries[1], "RT:2 Block number error.");
    // Asked again after each bad frame; the last block is not acknowledged.
    EXPECT_EQ(ControlBytes(), "<15><06><15><06><06><15><06>");
    EXPECT_TRUE(server_.WaitForLog("DWL:1/Base1 RT:2 Block number error.")) << server_.LogText();
    EXPECT_TRUE(
        server_.WaitForLog("Base1 Download thread stopped NBL=5 SBL=2048 "
                           "RE:Complete Downloading."));
    EXPECT_EQ(Text(c->Call("Command print,/par/rcvid")).rfind("RE", 0), 0u);
    // The defaults the download used are in the store now.
    EXPECT_EQ(server_.store().ReadNumber(cfg::kDownloadKey, cfg::kBlockSize.name, 0), 2048u);
    EXPECT_EQ(server_.store().ReadNumber(cfg::kDownloadKey, cfg::kTimeout.name, 0), 200u);
}

TEST_F(TransferFixture, DownloadFromAnOffsetNumbersFromItsBlockAndSurvivesABadLastFrame) {
    // The last of three blocks comes first with a wrong CRC: it is asked for again, never
    // taken as the end.
    StartWithFiles({"--crc-error-block", "2"});
    const std::string content = RandomBytes(10000, 11);
    PutReceiverFile("obs.dat", content);
    auto c = Client("ann");
    ASSERT_EQ(Text(c->Call("DownloadFile obs.dat   5000")), "RE:OK.");
    TransferRun run = Follow(*c, 0x800);
    EXPECT_EQ(run.final_text, "RE:Complete Downloading.");
    EXPECT_TRUE(run.data == content.substr(5000)) << run.data.size();
    EXPECT_EQ(run.numbers, (std::vector<std::string>{"0003", "0004", "0005"}));
    ASSERT_EQ(run.retries.size(), 1u);
    EXPECT_EQ(ControlBytes(), "<15><06><06><15>");
    const auto lines = SimLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "%WL%get,/log/obs.dat:{500,2048},5000"),
              lines.end());
}

TEST_F(TransferFixture, StartFailuresLeaveTheReceiverAsItWas) {
    StartWithFiles();
    PutReceiverFile("obs.dat", "abc");
    auto c = Client("ann");
    EXPECT_EQ(Text(c->Call("DownloadFile obs.dat")), "ER:Not file name output.");
    EXPECT_EQ(Text(c->Call("DownloadFile missing.dat 0")), "ER:Downloading");
    // A name that would carry a second receiver command is no file name.
    EXPECT_EQ(Text(c->Call("DownloadFile a&set,/par/x,1 0")), "ER:Invalid file name!");
    EXPECT_EQ(Text(c->Call("CancelDownload")), "ER:Download not active!");
    EXPECT_EQ(Text(c->Call("Command print,/par/rcvid")).rfind("RE", 0), 0u);
    // A second client may still open it: no transfer mark was left behind.
    auto other = Client("bob");
    TransferRun run;
    ASSERT_EQ(Text(c->Call("DownloadFile obs.dat 0")), "RE:OK.");
    run = Follow(*c, 0x800);
    EXPECT_EQ(run.data, "abc");
    EXPECT_EQ(run.final_text, "RE:Complete Downloading.");
}

TEST_F(TransferFixture, CancelAndAClientThatLeavesEndASilentTransfer) {
    StartWithFiles();
    PutReceiverFile("obs.dat", RandomBytes(50000, 3));
    auto c = Client("ann");
    auto bob = Client("bob");
    ASSERT_EQ(Text(c->Call("DownloadFile obs.dat 0")), "RE:OK.");
    // Other requests wait for the transfer; another client cannot open the receiver.
    EXPECT_EQ(Text(bob->Call("Command print,/par/rcvid")), "ER:Download in progress");
    ASSERT_TRUE(sim_.process().Signal(19));  // the receiver falls silent
    const uint32_t asked = platform::TickCount();
    auto cancelled = c->Call("CancelDownload", 1, 30);
    EXPECT_EQ(Text(cancelled), "RE:OK.");
    EXPECT_LT(platform::TickCount() - asked, 10000u);
    bool saw_cancel = false;
    for (const Frame& f : c->notices()) saw_cancel = saw_cancel || f.data == "ER:Cancel.";
    EXPECT_TRUE(saw_cancel);
    ASSERT_TRUE(sim_.process().Signal(18));
    EXPECT_EQ(Text(c->Call("Command print,/par/rcvid")).rfind("RE", 0), 0u);

    // A client that goes away ends its transfer and frees the receiver.
    ASSERT_EQ(Text(c->Call("DownloadFile obs.dat 0")), "RE:OK.");
    ASSERT_TRUE(sim_.process().Signal(19));
    c.reset();
    EXPECT_TRUE(server_.WaitForLog("Download thread stopped NBL=", 20000));
    ASSERT_TRUE(sim_.process().Signal(18));
    // The transfer's end is logged before the leaving session has let the receiver go.
    auto later = LoggedInStream(server_.port(), "ann");
    std::string opened;
    EXPECT_TRUE(test::WaitUntil(
        [&] {
            opened = Text(later->Call("OpenRcv Base1", 2, 60));
            return opened != "ER:Device locked!";
        },
        20000));
    EXPECT_EQ(opened, "RE:OK.");
}

TEST_F(TransferFixture, FirmwareOfTwoWholeBlocksReachesTheReceiverAndTellsTheOthers) {
    StartWithFiles();
    auto c = Client("ann");
    auto bob = Client("bob");
    const std::string image = RandomBytes(2 * 2048, 5);
    Upload(*c, "C:\\images\\fw.bin", image);
    EXPECT_TRUE(ReadFile(server_.home() + "/ann/fw.bin") == image);
    auto started = c->Call("LoadFirmware fw.bin");
    ASSERT_EQ(Text(started), "RE:OK.");
    EXPECT_EQ(started->code, 1u);
    TransferRun run = Follow(*c, 0xB00);
    EXPECT_EQ(run.progress, (std::vector<std::string>{"INW:0001 2048", "INW:0002 2048"}));
    EXPECT_EQ(run.final_text.rfind("RE", 0), 0u) << run.final_text;
    EXPECT_TRUE(ReadFile(files_ + "/fw") == image);
    auto notice = bob->WaitNotice(0x900);
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(notice->data, "RS:Base1,0");
    EXPECT_EQ(notice->handle, 1u);
    const auto lines = SimLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "%LD%put,/log/fw:{10,2048},0"), lines.end());
    EXPECT_TRUE(server_.WaitForLog("Base1 Upload thread stopped NBL=2 SBL=2048 RE"));
}

TEST_F(TransferFixture, FirmwareAbortedByTheReceiver) {
    StartWithFiles({"--upload-abort", "33"});
    auto c = Client("ann");
    Upload(*c, "fw.bin", RandomBytes(5000, 9));
    ASSERT_EQ(Text(c->Call("LoadFirmware fw.bin")), "RE:OK.");
    EXPECT_EQ(Follow(*c, 0xB00).final_text, "ER:Aborted with code 0x21");
    auto after = c->Call("Command print,/par/rcvid");
    EXPECT_EQ(Text(after).rfind("RE", 0), 0u) << Text(after) << server_.LogText();
}

TEST_F(TransferFixture, FileNamesFromTheNetworkStayInTheUsersFolder) {
    server_.AddUser("../up", "secret", 4);
    server_.AddUser("plain", "secret", 4);
    server_.store().WriteFlag(std::string(cfg::kUsersKey) + "plain", cfg::kSuperUser.name, false);
    StartWithFiles();
    auto c = Client("ann");
    // Path parts of either kind go; what is left lands in HOME/ann.
    Upload(*c, "../../escaped.bin", "one");
    Upload(*c, "..\\..\\back.bin", "two");
    EXPECT_EQ(ReadFile(server_.home() + "/ann/escaped.bin"), "one");
    EXPECT_EQ(ReadFile(server_.home() + "/ann/back.bin"), "two");
    for (const char* name : {"..",
                             "a\x01"
                             "b",
                             "/", ""})
        EXPECT_EQ(Text(c->Call(std::string("LoadFile 0 ") + name, 0)).substr(0, 3), "ER:") << name;
    // Two slots, no third; a piece for a slot without a file writes nothing.
    EXPECT_EQ(Text(c->Call("LoadFile 1 5", 0)), "ER:syntax!");
    EXPECT_EQ(c->Call("LoadFile 0 a", 0)->code, 1u);
    EXPECT_EQ(c->Call("LoadFile 0 b", 0)->code, 2u);
    EXPECT_EQ(Text(c->Call("LoadFile 0 c", 0)), "ER:Don't have space for client");
    EXPECT_EQ(Text(c->Call("LoadFile 3 1", 0)), "ER:syntax!");
    EXPECT_EQ(Text(c->Call("LoadFile x", 0)), "ER:syntax!");
    EXPECT_EQ(Text(c->Call("LoadFirmware ../../../etc/passwd")), "ER:Can't open file!");

    EXPECT_EQ(Text(LoggedInStream(server_.port(), "../up")->Call("LoadFile 0 f.bin", 0)),
              "ER:Can't create file!");
    EXPECT_EQ(Text(LoggedInStream(server_.port(), "plain")->Call("LoadFile 0 f.bin", 0)),
              "ER:User not authorized to send this command!");

    std::vector<std::string> outside;
    for (const auto& e : std::filesystem::recursive_directory_iterator(server_.home())) {
        const std::string p = e.path().string();
        if (e.is_regular_file() && p.find("/ann/") == std::string::npos &&
            (p.find(".bin") != std::string::npos || p.ends_with("/f")))
            outside.push_back(p);
    }
    EXPECT_TRUE(outside.empty()) << outside.front();
    EXPECT_FALSE(std::filesystem::exists(server_.home() + "/up"));
}

TEST_F(TransferFixture, OrvanacliDownloadsUploadsAndLoadsFirmware) {
    EnableMetrics(server_.store());
    StartWithFiles({"--crc-error-block", "1"});
    const std::string content = RandomBytes(4 * 2048 + 100, 17);
    PutReceiverFile("obs.dat", content);
    const std::string work = server_.home() + "/work";
    std::filesystem::create_directories(work);
    auto cli = [&](std::vector<std::string> verb) {
        std::vector<std::string> args = {
            "--port", std::to_string(server_.port()), "--user", "ann", "--password", "secret"};
        args.insert(args.end(), verb.begin(), verb.end());
        return RunProgram("orvanacli", args, 60000);
    };
    // Not a terminal: progress comes as plain lines, the file under its name only when whole.
    auto got = cli({"download", "Base1", "obs.dat", "-o", work + "/obs.dat"});
    EXPECT_EQ(got.status, 0) << got.out << got.err;
    EXPECT_TRUE(ReadFile(work + "/obs.dat") == content);
    EXPECT_NE(got.out.find("download: 5 blocks, 8292 bytes in "), std::string::npos) << got.out;
    EXPECT_NE(got.out.find("RE:Complete Downloading."), std::string::npos);
    EXPECT_NE(got.err.find("RT:1 Error CRC "), std::string::npos) << got.err;
    // For a script: the progress, the reply and the retry as JSON objects.
    got = cli(
        {"--json", "download", "Base1", "obs.dat", "--offset", "8192", "-o", work + "/tail.dat"});
    EXPECT_EQ(got.status, 0) << got.out << got.err;
    EXPECT_TRUE(ReadFile(work + "/tail.dat") == content.substr(8192));
    EXPECT_NE(got.out.find("{\"kind\":\"progress\",\"what\":\"download\",\"blocks\":1,"
                           "\"bytes\":100,"),
              std::string::npos)
        << got.out;
    EXPECT_NE(got.out.find("\"done\":true}\n{\"kind\":\"reply\",\"ok\":true,"), std::string::npos)
        << got.out;

    got = cli({"download", "Base1", "missing.dat", "-o", work + "/missing.dat"});
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.out, "ER:Downloading\n");
    EXPECT_FALSE(std::filesystem::exists(work + "/missing.dat"));
    EXPECT_FALSE(std::filesystem::exists(work + "/missing.dat.part"));

    const std::string image = RandomBytes(5000, 2);
    WriteFile(work + "/image-v2.bin", image);
    got = cli({"upload", work + "/image-v2.bin", "--as", "fw.bin"});
    EXPECT_EQ(got.status, 0) << got.out << got.err;
    EXPECT_TRUE(ReadFile(server_.home() + "/ann/fw.bin") == image);
    got = cli({"firmware", "Base1", "fw.bin"});
    EXPECT_EQ(got.status, 0) << got.out << got.err;
    EXPECT_NE(got.out.find("firmware: 3 blocks, 5000 bytes in "), std::string::npos) << got.out;
    EXPECT_TRUE(ReadFile(files_ + "/fw") == image);

    got = cli({"cancel", "Base1"});
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.out, "ER:Download not active!\n");

    // Every transfer started has ended (the missing file never started one), and the metrics
    // say so.
    const std::string scraped = ScrapeMetrics(server_);
    EXPECT_NE(scraped.find("orvanasrv_transfers_started_total{direction=\"upload\"} 1\n"),
              std::string::npos)
        << scraped;
    EXPECT_NE(scraped.find("orvanasrv_transfers_started_total{direction=\"download\"} 2\n"),
              std::string::npos)
        << scraped;
    EXPECT_NE(scraped.find("orvanasrv_transfers_ended_total 3\n"), std::string::npos) << scraped;
}

}  // namespace
}  // namespace orvana::test
