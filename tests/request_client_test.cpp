#include "core/request_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/client_session.h"
#include "core/server_frames.h"
#include "tests/server_harness.h"

namespace orvana {
namespace {

std::string ServerFrameBytes(uint16_t type, uint8_t handle, unsigned code, const std::string& d) {
    std::string out(FrameSize(d.size()), '\0');
    BuildServerFrame(out.data(), type, handle, code, d.data(), d.size());
    return out;
}

std::string Deciphered(const std::string& enciphered, std::string_view key, size_t* plain) {
    std::vector<char> buffer(enciphered.begin(), enciphered.end());
    buffer.resize(buffer.size() + 16, '\0');
    *plain = DecipherRequest(buffer.data(), enciphered.size(), key);
    return std::string(buffer.data(), *plain);
}

// ---- Enciphering is undone by the server's decipher ---------------------------------------

TEST(EncipherRequest, EveryLengthUpToSixHundredDeciphersBack) {
    for (size_t n = 0; n <= 600; ++n) {
        std::string text;
        for (size_t i = 0; i < n; ++i) text.push_back(static_cast<char>('A' + (i * 7 + n) % 57));
        const std::string plain = BuildRequestFrame(text, static_cast<uint8_t>(n % 5));
        const std::string enc = EncipherRequest(plain, ClientSession::kSessionKey);
        ASSERT_EQ(enc.size(), plain.size() + 10) << n;
        size_t got = 0;
        EXPECT_EQ(Deciphered(enc, ClientSession::kSessionKey, &got), plain) << n;
        EXPECT_EQ(got, plain.size());
    }
}

TEST(EncipherRequest, OtherKeysAndBinaryBytesRoundTrip) {
    const std::string keys[] = {"ZelmarQX", "\x01\x02\x03\x04\x05\x06\x07\x08", "ffffffff",
                                std::string(8, '\0'), "\xff\xfe\x80\x7f\x10\x01\xaa\x55"};
    for (const std::string& key : keys) {
        for (size_t n : {0u, 1u, 3u, 7u, 8u, 9u, 15u, 250u}) {
            std::string bin;
            for (size_t i = 0; i < n; ++i) bin.push_back(static_cast<char>(i * 37 + 11));
            const std::string plain = BuildRequestFrame("LoadFile 3 1", 0, bin);
            size_t got = 0;
            EXPECT_EQ(Deciphered(EncipherRequest(plain, key), key, &got), plain) << n;
        }
    }
}

TEST(EncipherRequest, WrongKeyOrFlippedBitFailsTheCheck) {
    const std::string plain = BuildRequestFrame("GetRcvList");
    std::string enc = EncipherRequest(plain, ClientSession::kSessionKey);
    size_t got = 1;
    Deciphered(enc, "abcdefgh", &got);
    EXPECT_EQ(got, 0u);
    enc[9] = static_cast<char>(enc[9] ^ 0x10);
    Deciphered(enc, ClientSession::kSessionKey, &got);
    EXPECT_EQ(got, 0u);
}

TEST(EncipherRequest, RefusesFramesBeyondTheLimit) {
    EXPECT_FALSE(EncipherRequest(std::string(kMaxCipherPlain, 'x'), "ZelmarQX").empty());
    EXPECT_TRUE(EncipherRequest(std::string(kMaxCipherPlain + 1, 'x'), "ZelmarQX").empty());
    EXPECT_TRUE(EncipherRequest("000000", "short").empty());
}

TEST(BuildRequestFrame, HeaderCountsTheTextOrTheWholeBinaryFrame) {
    EXPECT_EQ(BuildRequestFrame("Ping"), "000400Ping");
    EXPECT_EQ(BuildRequestFrame("Command x", 0x1a), "00091aCommand x");
    // With binary data after the text's zero byte the length counts the header too.
    EXPECT_EQ(BuildRequestFrame("L", 0, std::string("\x01\x02", 2)),
              std::string("000a00L\0\x01\x02", 10));
}

// ---- Frames from the server, however they arrive ------------------------------------------

// One data frame goes to many clients: re-addressed to each handle, it must be the frame built
// for that handle, its checksum too, whatever the payload's length does to the word alignment.
TEST(ReaddressServerFrame, EqualsTheFrameBuiltForEveryHandleAndLength) {
    for (size_t length : {0u, 1u, 2u, 3u, 4u, 5u, 101u, 4000u}) {
        std::string payload(length, '\0');
        for (size_t i = 0; i < length; ++i) payload[i] = static_cast<char>(i * 37 + 11);
        std::string moved(FrameSize(length), '\0');
        BuildServerFrame(moved.data(), 0x105, 0x3C, 0, payload.data(), length);
        for (unsigned h = 0; h < 256; ++h) {
            ReaddressServerFrame(moved.data(), length, static_cast<uint8_t>(h));
            std::string built(FrameSize(length), '\0');
            BuildServerFrame(built.data(), 0x105, static_cast<uint8_t>(h), 0, payload.data(),
                             length);
            ASSERT_EQ(moved, built) << "length " << length << " handle " << h;
        }
    }
}

TEST(ServerFrameReader, ReadsFramesSplitAtEveryByte) {
    const std::string a = ServerFrameBytes(0, 2, 1, "RE:OK.");
    const std::string b = ServerFrameBytes(0x101, 1, 0, std::string("\0\x01\x02xyz", 6));
    const std::string refused = ServerFrameBytes(0, 0, 0, "ER:Unknown request type");
    EXPECT_EQ(refused.substr(0, 4), "0027");
    const std::string stream = a + b + refused;
    ServerFrameReader reader;
    std::vector<ServerFrame> got;
    for (char c : stream) {
        reader.Append(&c, 1);
        ServerFrame f;
        while (reader.Next(&f) == ServerFrameReader::Result::kFrame) got.push_back(f);
    }
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].data, "RE:OK.");
    EXPECT_TRUE(got[0].Succeeded());
    EXPECT_FALSE(got[2].Succeeded());
    EXPECT_EQ(got[0].handle, 2);
    EXPECT_EQ(got[0].code, 1u);
    EXPECT_TRUE(got[0].IsReply());
    EXPECT_EQ(got[1].type, 0x101);
    EXPECT_TRUE(got[1].IsData());
    EXPECT_EQ(got[1].data, std::string("\0\x01\x02xyz", 6));
    EXPECT_EQ(reader.buffered(), 0u);
}

TEST(ServerFrameReader, RefusesBadChecksumMissingZeroAndBadLength) {
    struct Row {
        const char* legend;
        std::string bytes;
        const char* why;
    };
    std::string bad_sum = ServerFrameBytes(0, 0, 0, "RE:OK.");
    bad_sum.back() = static_cast<char>(bad_sum.back() ^ 1);
    std::string no_zero = ServerFrameBytes(0, 0, 0, "RE:OK.");
    no_zero[11 + 6] = 'x';
    const Row rows[] = {{"checksum", bad_sum, "frame checksum mismatch"},
                        {"zero byte", no_zero, "frame without its zero byte"},
                        {"length not hex", "zz27000000RE", "bad frame length field"},
                        {"length below a frame", "000f000000RE:OK", "bad frame length field"}};
    for (const Row& r : rows) {
        ServerFrameReader reader;
        reader.Append(r.bytes.data(), r.bytes.size());
        ServerFrame f;
        std::string why;
        EXPECT_EQ(reader.Next(&f, &why), ServerFrameReader::Result::kCorrupt) << r.legend;
        EXPECT_EQ(why, r.why) << r.legend;
    }
}

TEST(ServerFrameReader, TruncatedFrameWaitsAndNeverReadsPastIt) {
    const std::string f = ServerFrameBytes(0x600, 0, 0, "Ping");
    ServerFrameReader reader;
    reader.Append(f.data(), f.size() - 1);
    ServerFrame frame;
    EXPECT_EQ(reader.Next(&frame), ServerFrameReader::Result::kNeedMore);
    reader.Append(f.data() + f.size() - 1, 1);
    ASSERT_EQ(reader.Next(&frame), ServerFrameReader::Result::kFrame);
    EXPECT_EQ(frame.type, frame_type::kPing);
}

// ---- Against the real server --------------------------------------------------------------

class ClientAgainstServer : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.AddUser("ann", "secret", 3);
        ASSERT_TRUE(server_.Start());
    }
    test::ServerProcess server_;
};

TEST_F(ClientAgainstServer, LogsInPlainAndEnciphered) {
    for (bool encipher : {false, true}) {
        RequestClient client;
        ASSERT_TRUE(client.Connect("127.0.0.1", server_.port(), 5000)) << client.error();
        client.SetEncipher(encipher);
        auto reply = client.Login("ann", "secret", "test", 5000);
        ASSERT_TRUE(reply) << client.error();
        EXPECT_TRUE(RequestClient::LoginAccepted(*reply)) << reply->data;
        EXPECT_EQ(client.handle_count(), reply->code);
        EXPECT_GT(client.handle_count(), 0u);
        auto ping = client.Call("Ping", 0, 5000);
        ASSERT_TRUE(ping) << client.error();
        EXPECT_EQ(ping->data, "RE:OK.");
        EXPECT_EQ(ping->code, 1u);
        auto unknown = client.Call("Nonsense", 0, 5000);
        ASSERT_TRUE(unknown);
        EXPECT_EQ(unknown->data, "ER:Unknown request type");
    }
}

TEST_F(ClientAgainstServer, WrongPasswordIsRefusedWithNoHandles) {
    RequestClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", server_.port(), 5000));
    auto reply = client.Login("ann", "wrong", "test", 5000);
    ASSERT_TRUE(reply) << client.error();
    EXPECT_FALSE(RequestClient::LoginAccepted(*reply));
    EXPECT_EQ(client.handle_count(), 0u);
}

TEST_F(ClientAgainstServer, CorruptOrOverlongRequestsAndSilenceLeaveTheSessionGoingOn) {
    RequestClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", server_.port(), 5000));
    std::string enc = EncipherRequest(BuildRequestFrame("Ping"), ClientSession::kSessionKey);
    enc[8] = static_cast<char>(enc[8] ^ 0x04);
    ASSERT_TRUE(client.SendRaw(enc));
    auto reply = client.WaitReply(5000);
    ASSERT_TRUE(reply) << client.error();
    EXPECT_EQ(reply->data, "ER:Error uncript");
    // A request beyond the length field is not sent.
    EXPECT_FALSE(client.Send(std::string(0x10000, 'x')));
    EXPECT_FALSE(client.Send("LoadFile 1 1", 0, std::string(0xFFFF, 'b')));
    auto login = client.Login("ann", "secret", "", 5000);
    ASSERT_TRUE(login) << client.error();
    EXPECT_TRUE(RequestClient::LoginAccepted(*login));

    // No reply times out without hanging.
    ASSERT_TRUE(client.SendRaw("0010"));  // header never completed: the server waits
    const uint32_t start = platform::TickCount();
    EXPECT_FALSE(client.WaitReply(300));
    EXPECT_LT(platform::TickCount() - start, 5000u);
    // Nothing comes of the half header; only the keep-alive cycle, which runs at start-up
    // and may come after the login on a loaded machine, may send a frame of its own.
    while (auto f = client.NextUnsolicited(100)) EXPECT_EQ(f->type, frame_type::kPing) << f->data;
}

}  // namespace
}  // namespace orvana
