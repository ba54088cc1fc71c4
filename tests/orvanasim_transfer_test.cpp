// Block transfers of the simulator's /log/ folder, driven as the server's download and upload
// threads drive a receiver: control bytes 21 and 6, frames of n + 6 bytes, a running CRC-16.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/orvanasim_harness.h"

namespace orvana {
namespace {

using simtest::Crc16;
using simtest::Le16;
using simtest::TcpHost;
using simtest::TcpSession;

constexpr char kSend = 21;
constexpr char kAccepted = 6;

std::string Pattern(size_t size) {
    std::string s(size, '\0');
    uint32_t x = 12345;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

struct Downloaded {
    std::string content;
    // The blocks (counted from 0) whose frames were refused, in the order they came.
    std::vector<int> crc_mismatches;
    std::vector<int> number_mismatches;
    int blocks = 0;
    bool last_seen = false;
};

// The host's side of a download: ask, check, accept or ask again, until the last block.
Downloaded Download(TcpHost& h, size_t n) {
    Downloaded d;
    uint16_t crc = 0;
    char control = kSend;
    for (int guard = 0; guard < 200 && !d.last_seen; ++guard) {
        if (!h.Send(std::string(1, control))) break;
        auto frame = h.Take(n + 6);
        if (!frame) {
            ADD_FAILURE() << "no frame after block " << d.blocks;
            break;
        }
        const uint16_t computed = Crc16(crc, std::string_view(*frame).substr(0, n + 3));
        const unsigned tag = static_cast<unsigned char>((*frame)[0]);
        const uint16_t number = Le16(*frame, 1);
        EXPECT_EQ((*frame)[n + 5], 3);
        if (computed != Le16(*frame, n + 3)) {
            d.crc_mismatches.push_back(d.blocks);
            control = kSend;
            continue;
        }
        if (tag == 2 && number != d.blocks) {
            d.number_mismatches.push_back(d.blocks);
            control = kSend;
            continue;
        }
        crc = computed;
        ++d.blocks;
        EXPECT_TRUE(tag == 2 || tag == 4) << tag;
        const size_t valid = tag == 4 ? number : n;
        EXPECT_LE(valid, n);
        d.content.append(*frame, 3, valid);
        if (tag == 4) {
            d.last_seen = true;
            EXPECT_EQ(frame->substr(3 + valid, n - valid), std::string(n - valid, '\0'));
        }
        control = kAccepted;
    }
    return d;
}

// A frame as the server's upload builds it.
std::string Frame(const std::string& data, size_t n, uint16_t number, bool last, uint16_t* crc) {
    std::string f(n + 6, '\0');
    f[0] = static_cast<char>(last ? 4 : 2);
    const uint16_t field = last ? static_cast<uint16_t>(data.size()) : number;
    f[1] = static_cast<char>(field & 0xFF);
    f[2] = static_cast<char>(field >> 8);
    f.replace(3, data.size(), data);
    *crc = Crc16(*crc, std::string_view(f).substr(0, n + 3));
    f[n + 3] = static_cast<char>(*crc & 0xFF);
    f[n + 4] = static_cast<char>(*crc >> 8);
    f[n + 5] = 3;
    return f;
}

class SimTransfer : public ::testing::Test {
  protected:
    void SetUp() override { std::filesystem::create_directory(Log("")); }
    // The receiver's /log/ folder, inside a folder of the test's own.
    std::string Log(const std::string& name) const { return root_.File("log/" + name); }
    void Open(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--files", root_.File("log"), "--rcvid", "RX7"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(s_.Open(args));
    }
    test::TempDir root_;
    TcpSession s_;
};

TEST_F(SimTransfer, CrcReferenceValue) {
    // The standard check value of this CRC for "123456789".
    EXPECT_EQ(Crc16(0, "123456789"), 0x31C3);
}

TEST_F(SimTransfer, DownloadsAFileFromAnOffsetWithARunningCrcAndReturnsToCommands) {
    const std::string content = Pattern(2000);
    test::WriteFile(Log("day1.jps"), content);
    Open();
    TcpHost& h = s_.host;
    EXPECT_EQ(h.Ask(simtest::Checksummed("%WL%print,/log/day1.jps&size")), "RE008%WL%2000");

    ASSERT_EQ(h.Ask(simtest::Checksummed("%WL%get,/log/day1.jps:{500,256},0")), "RE004%WL%");
    Downloaded whole = Download(h, 256);
    EXPECT_TRUE(whole.last_seen);
    EXPECT_TRUE(whole.crc_mismatches.empty());
    EXPECT_TRUE(whole.number_mismatches.empty());
    EXPECT_EQ(whole.blocks, 8);
    EXPECT_TRUE(whole.content == content);
    // What the server sends at the end puts the receiver back to commands.
    ASSERT_TRUE(h.Send("###\ndm\n"));
    EXPECT_EQ(h.Ask("%Loop%\r\n"), "RE006%Loop%");

    ASSERT_EQ(h.Ask(simtest::Checksummed("%WL%get,/log/day1.jps:{500,512},1024")), "RE004%WL%");
    Downloaded tail = Download(h, 512);
    EXPECT_EQ(tail.blocks, 2);
    EXPECT_TRUE(tail.content == content.substr(1024));
    ASSERT_TRUE(h.Send("###\ndm\n"));
    EXPECT_EQ(h.Ask("%Loop%\r\n"), "RE006%Loop%");

    // A file exactly a whole number of blocks long ends in an empty last block.
    test::WriteFile(Log("even"), content.substr(0, 512));
    ASSERT_EQ(h.Ask("%WL%get,/log/even:{500,256},0\r\n"), "RE004%WL%");
    Downloaded even = Download(h, 256);
    EXPECT_TRUE(even.content == content.substr(0, 512));
    ASSERT_TRUE(h.Send("###\ndm\n"));
    EXPECT_EQ(h.Ask("%Loop%\r\n"), "RE006%Loop%");
}

TEST_F(SimTransfer, RefusesMissingFilesAndNamesOutsideTheFolder) {
    test::WriteFile(Log("x"), "data");
    test::WriteFile(root_.File("outside"), "secret");
    Open();
    TcpHost& h = s_.host;
    EXPECT_EQ(h.Ask("%WL%print,/log/none&size\r\n"), "ER014%WL%{4,no such file}");
    EXPECT_EQ(h.Ask("%WL%get,/log/none:{500,256},0\r\n"), "ER014%WL%{4,no such file}");
    EXPECT_EQ(h.Ask("%WL%get,/log/../outside:{500,256},0\r\n"), "ER014%WL%{4,no such file}");
    EXPECT_EQ(h.Ask("%WL%print,/log/..&size\r\n").value_or("").substr(0, 2), "ER");
    EXPECT_EQ(h.Ask("%WL%get,/log/x:{500,0},0\r\n").value_or("").substr(0, 2), "ER");
    EXPECT_EQ(h.Ask("%WL%get,/log/x:{500,256},5\r\n").value_or("").substr(0, 2), "ER");
    EXPECT_EQ(h.Ask("%WL%put,/log/../evil:{500,256},0\r\n").value_or("").substr(0, 2), "ER");
    EXPECT_FALSE(std::filesystem::exists(root_.File("evil")));
}

TEST_F(SimTransfer, InjectedCrcAndNumberErrorsAreSentOnceAndTheRetryIsGood) {
    const std::string content = Pattern(1500);
    test::WriteFile(Log("f"), content);
    Open({"--crc-error-block", "1", "--number-error-block", "3"});
    TcpHost& h = s_.host;
    ASSERT_EQ(h.Ask("%WL%get,/log/f:{500,256},0\r\n"), "RE004%WL%");
    Downloaded d = Download(h, 256);
    // Each fault on its own block, once: a wrong number under a wrong CRC would show as a
    // second CRC error.
    EXPECT_EQ(d.crc_mismatches, std::vector<int>{1});
    EXPECT_EQ(d.number_mismatches, std::vector<int>{3});
    EXPECT_TRUE(d.last_seen);
    EXPECT_TRUE(d.content == content);
}

TEST_F(SimTransfer, UploadAsksForBlocksRejectsABadOneStoresTheFileAndLoadsFirmware) {
    const std::string content = Pattern(700);
    Open();
    TcpHost& h = s_.host;
    ASSERT_EQ(h.Ask("%up%put,/log/fw.bin:{500,256},0\r\n"), "RE004%up%");
    // The receiver asks for the first block by itself.
    auto ask = h.Take(1, 5000);
    ASSERT_EQ(ask, std::string(1, kSend));

    uint16_t crc = 0;
    std::string first = Frame(content.substr(0, 256), 256, 0, false, &crc);
    ASSERT_TRUE(h.Send(first));
    EXPECT_EQ(h.Take(1), std::string(1, kAccepted));

    // A frame with a broken CRC is asked for again; the running CRC stays where it was.
    uint16_t before = crc;
    std::string second = Frame(content.substr(256, 256), 256, 1, false, &crc);
    std::string broken = second;
    broken[256 + 3] = static_cast<char>(broken[256 + 3] ^ 0x01);
    ASSERT_TRUE(h.Send(broken));
    EXPECT_EQ(h.Take(1), std::string(1, kSend));
    uint16_t again = before;
    ASSERT_EQ(Frame(content.substr(256, 256), 256, 1, false, &again), second);
    ASSERT_TRUE(h.Send(second));
    EXPECT_EQ(h.Take(1), std::string(1, kAccepted));

    // The server does not wait for the last block's answer: the end of the transfer and its
    // next command follow the frame at once.
    ASSERT_TRUE(
        h.Send(Frame(content.substr(512), 256, 2, true, &crc) + "###\ndm\nprint,/par/rcvid\r\n"));
    EXPECT_EQ(h.Take(1), std::string(1, kAccepted));
    EXPECT_EQ(h.NextReply(), "RE003RX7");
    ASSERT_TRUE(s_.sim.WaitForNote("upload stored"));
    EXPECT_TRUE(test::ReadFile(Log("fw.bin")) == content);

    EXPECT_EQ(h.Ask("%WL%print,/log/fw.bin&size\r\n"), "RE007%WL%700");
    EXPECT_EQ(h.Ask("%f%fld,RX7,/log/fw.bin\r\n"), "RE016%f%{0,firmware loaded}");
    EXPECT_EQ(h.Ask("%f%fld,OTHER,/log/fw.bin\r\n").value_or("").substr(0, 2), "ER");
    EXPECT_EQ(h.Ask("%f%fld,RX7,/log/none\r\n").value_or("").substr(0, 2), "ER");

    EXPECT_EQ(h.Ask("%r%remove,/log/fw.bin\r\n"), "RE003%r%");
    EXPECT_FALSE(std::filesystem::exists(Log("fw.bin")));
    EXPECT_EQ(h.Ask("%WL%print,/log/fw.bin&size\r\n").value_or("").substr(0, 2), "ER");
}

TEST_F(SimTransfer, UploadWithoutBlocksIsGivenUpAndCommandsWorkAgain) {
    Open();
    TcpHost& h = s_.host;
    ASSERT_EQ(h.Ask("%up%put,/log/never:{500,64},0\r\n"), "RE004%up%");
    // Asked again and again, then given up (eleven asks, 1.5 s apart).
    ASSERT_TRUE(s_.sim.WaitForNote("upload abandoned", 25000)) << s_.sim.Notes();
    h.got.clear();
    EXPECT_EQ(h.Ask("%Loop%\r\n"), "RE006%Loop%");
    EXPECT_FALSE(std::filesystem::exists(Log("never")));
}

}  // namespace
}  // namespace orvana
