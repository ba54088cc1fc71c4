// File transfer through the server binary: downloads and firmware loads between a client and
// orvanasim on a pseudo-terminal, with the simulator's faults.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "tests/streams_harness.h"

namespace orvana::test {
namespace {

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

// What a client saw of one transfer: the data in order, the retry notices, the final text.
struct TransferRun {
    std::string data;
    std::vector<std::string> numbers;  // "IN:" messages' block numbers
    std::vector<std::string> retries;
    std::vector<std::string> progress;  // "INW:" messages
    std::string final_text;
};

// Reads frames of `type` on handle 1 until a final text (or `seconds` pass).
TransferRun Follow(StreamClient& c, unsigned type, int seconds = 60) {
    TransferRun run;
    const uint32_t start = platform::TickCount();
    while (run.final_text.empty() &&
           platform::TickCount() - start < static_cast<uint32_t>(seconds) * 1000u) {
        auto f = c.raw().ReadFrame(1);
        if (!f || f->type != type) continue;
        EXPECT_EQ(f->handle, 1u);
        const std::string& d = f->data;
        if (d.rfind("IN:", 0) == 0 && d.size() >= 12) {
            EXPECT_EQ(d[11], 'F');
            EXPECT_EQ(std::stoul(d.substr(7, 4)), d.size() - 12) << d.substr(0, 12);
            run.numbers.push_back(d.substr(3, 4));
            run.data += d.substr(12);
        } else if (d.rfind("INW:", 0) == 0) {
            run.progress.push_back(d);
        } else if (d.rfind("RT:", 0) == 0) {
            run.retries.push_back(d);
        } else {
            run.final_text = d;
        }
    }
    return run;
}

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
    // Commands reach the receiver again, and so does a new output list.
    EXPECT_EQ(Text(c->Call("Command print,/par/rcvid")).rfind("RE", 0), 0u);
}

}  // namespace
}  // namespace orvana::test
