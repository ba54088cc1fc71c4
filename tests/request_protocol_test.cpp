// The request protocol as a client sees it over a real socket: frame layout and checksums, plain
// and enciphered requests, handle checks, and malformed input that must be refused without the
// server losing its footing.

#include <gtest/gtest.h>

#include <bit>
#include <cstring>

#include "tests/server_harness.h"

namespace orvana {
namespace {

using test::Frame;
using test::PlainRequest;

// The client's side of the cipher: the bits on the key mask's 1 bits go first, the others
// after them, block by block (a short last block uses the first key bytes only).
std::string Encipher(const std::string& plain, const std::string& key = "ZelmarQX") {
    std::string body = plain;
    uint32_t sum =
        CipherCheckSum(reinterpret_cast<const unsigned char*>(plain.data()), plain.size());
    for (int k = 0; k < 4; ++k) body.push_back(static_cast<char>((sum >> (8 * k)) & 0xFF));
    std::string out(body.size(), '\0');
    for (size_t at = 0; at < body.size(); at += 8) {
        size_t n = std::min<size_t>(8, body.size() - at);
        unsigned char mask[8];
        size_t ones = 0;
        for (size_t i = 0; i < n; ++i) {
            uint8_t b = static_cast<uint8_t>(key[i]);
            mask[i] = static_cast<uint8_t>(((b << 4) | (b >> 4)) ^ b);
            ones += static_cast<size_t>(std::popcount(mask[i]));
        }
        size_t q = 0, p = ones;
        for (size_t j = 0; j < 8 * n; ++j) {
            bool bit = (static_cast<unsigned char>(body[at + j / 8]) >> (7 - j % 8)) & 1;
            size_t to = ((mask[j / 8] >> (7 - j % 8)) & 1) ? q++ : p++;
            if (bit) out[at + to / 8] = static_cast<char>(out[at + to / 8] | (1 << (7 - to % 8)));
        }
    }
    const size_t total = out.size() + 6;
    std::string frame;
    frame.push_back(static_cast<char>(total & 0xFF));
    frame.push_back(static_cast<char>(total >> 8));
    frame.push_back(6);
    frame += "NLG";
    return frame + out;
}

uint32_t FrameSum(const std::string& raw) {
    uint32_t sum = 0;
    const size_t n = raw.size() - 4;
    for (size_t i = 0; i < n; i += 4) {
        uint32_t w = 0;
        for (size_t k = 0; k < 4 && i + k < n; ++k)
            w |= uint32_t{static_cast<unsigned char>(raw[i + k])} << (8 * k);
        sum += w;
    }
    return sum;
}

class RequestProtocol : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.AddUser("ann", "pw", 5);
        server_.AddReceiver("Base1");
        server_.AddReceiver("Base2");
        ASSERT_TRUE(server_.Start());
        ASSERT_TRUE(client_.Connect(server_.port()));
    }
    test::ServerProcess server_;
    test::TestClient client_;
};

TEST_F(RequestProtocol, UnknownRequestIsAnsweredWithA0x27ByteFramePingWithCodeOne) {
    auto f = client_.Call("Hello there");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->raw.substr(0, 11), "00270000000");
    EXPECT_EQ(f->raw.size(), 0x27u);
    EXPECT_EQ(f->data, "ER:Unknown request type");
    EXPECT_EQ(f->raw[f->raw.size() - 5], '\0');
    EXPECT_EQ(f->checksum, FrameSum(f->raw));

    // Ping is a no-op with code 1, also with trailing blanks or a length that is not hex.
    for (const char* text : {"Ping", "Ping   "}) {
        f = client_.Call(text);
        ASSERT_TRUE(f) << text;
        EXPECT_EQ(f->data, "RE:OK.");
        EXPECT_EQ(f->code, 1u);
        EXPECT_EQ(f->checksum, FrameSum(f->raw));
    }
    // The name must be followed by a blank or the end.
    EXPECT_EQ(client_.Ask("Pingx"), "ER:Unknown request type");
    // A length field that is not hex counts as zero.
    ASSERT_TRUE(client_.SendRaw("zz0000Ping"));
    f = client_.NextReply();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->data, "RE:OK.");
}

TEST_F(RequestProtocol, HandleBeyondTheHandleCountIsAnUnknownReceiverWithHandleZero) {
    auto f = client_.Call("Ping", 3);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->data, "ER:Unknown receiver #3!");
    EXPECT_EQ(f->handle, 0u);
    auto login = client_.Call("OpenUsr ann pw");
    ASSERT_TRUE(login);
    EXPECT_EQ(login->code, 3u);  // two receivers + 1
    // The handle count itself passes the range check and fails on the missing receiver.
    f = client_.Call("Command print", 3);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->data, "ER:Receiver not open!");
    EXPECT_EQ(f->handle, 3u);
    EXPECT_EQ(client_.Ask("Command", 0), "ER:Receiver not open!");
}

TEST_F(RequestProtocol, RequestSplitAcrossWritesIsHandledWhole) {
    const std::string frame = PlainRequest("Ping");
    ASSERT_TRUE(client_.SendRaw(frame.substr(0, 3)));
    platform::SleepMs(100);
    ASSERT_TRUE(client_.SendRaw(frame.substr(3, 5)));
    platform::SleepMs(100);
    ASSERT_TRUE(client_.SendRaw(frame.substr(8)));
    auto f = client_.NextReply();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->data, "RE:OK.");
    EXPECT_EQ(f->code, 1u);
}

TEST_F(RequestProtocol, EncipheredRequestsWithFullAndShortLastBlocks) {
    // "0004" "00" "Ping" + 4 check bytes = 14 bytes: one full block and a 6-byte one.
    ASSERT_TRUE(client_.SendRaw(Encipher(PlainRequest("Ping"))));
    auto f = client_.NextReply();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->data, "RE:OK.");
    EXPECT_EQ(f->code, 1u);
    // 16 + 4 bytes: a short last block of 4.
    ASSERT_TRUE(client_.SendRaw(Encipher(PlainRequest("OpenUsr ann pw"))));
    f = client_.NextReply();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->data, "RE:OK.");
    EXPECT_EQ(f->code, 3u);
    // Exactly whole blocks: 12 + 4 bytes.
    ASSERT_TRUE(client_.SendRaw(Encipher(PlainRequest("Ping  "))));
    f = client_.NextReply();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->code, 1u);
}

TEST_F(RequestProtocol, BadCheckSumAndMalformedEncipheredHeadersAreRefusedAndTheSessionGoesOn) {
    std::string bad_sum = Encipher(PlainRequest("Ping"));
    bad_sum[8] = static_cast<char>(bad_sum[8] ^ 0x10);
    struct Case {
        const char* legend;
        std::string bytes;
    } cases[] = {
        {"bad check sum", bad_sum},
        {"total under 6", std::string("\x04\x00\x06NLG", 6)},
        {"header longer than the frame", std::string("\x08\x00\x40NLGab", 8)},
        {"no room for a check sum", std::string("\x08\x00\x06NLGab", 8)},
        {"total over 4096", std::string("\x01\x10\x06NLG", 6) + std::string(4091, 'x')},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(client_.SendRaw(c.bytes)) << c.legend;
        auto f = client_.NextReply();
        ASSERT_TRUE(f) << c.legend;
        EXPECT_EQ(f->raw.substr(0, 11), "00200000000") << c.legend;
        EXPECT_EQ(f->data, "ER:Error uncript") << c.legend;
        EXPECT_EQ(client_.Ask("Ping"), "RE:OK.") << c.legend;
    }
    EXPECT_TRUE(server_.WaitForLog("ER:Error uncript"));
}

TEST_F(RequestProtocol, OverlongEncipheredFrameArrivingInPiecesIsDroppedWhole) {
    // Refused on its first bytes; the rest it announced must not pass for the next request.
    const std::string frame = std::string("\x01\x10\x06NLG", 6) + std::string(4091, 'x');
    for (size_t at = 0, piece = 6; at < frame.size(); at += piece, piece = 1500) {
        ASSERT_TRUE(client_.SendRaw(frame.substr(at, piece)));
        platform::SleepMs(50);
    }
    auto f = client_.NextReply();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->data, "ER:Error uncript");
    EXPECT_EQ(client_.Ask("Ping"), "RE:OK.");
}

}  // namespace
}  // namespace orvana
