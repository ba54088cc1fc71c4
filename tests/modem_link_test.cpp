// Receivers behind a dial-up modem, through the server binary: orvanasim plays a Hayes modem on
// its pseudo-terminal (linked as COM1) before it becomes the receiver.

#include <gtest/gtest.h>

#include "core/config_keys.h"
#include "tests/streams_harness.h"
#include "tests/tcp_link_harness.h"

namespace orvana::test {
namespace {

class ModemLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.AddUser("ann", "secret", 4);
        server_.AddReceiver("Far", true, "MODEM 1");
        transcript_ = server_.home() + "/sim-transcript.txt";
    }
    void TearDown() override { server_.Stop(); }
    void Start(const std::string& answer, bool gsm, const std::string& phone = "5551234") {
        const std::string key = std::string(cfg::kInterfaceKey) + "MODEM 1";
        server_.store().WriteFlag(key, cfg::kModemType.name, gsm);
        server_.store().WriteText(key, cfg::kPhone.name, phone);
        ASSERT_TRUE(sim_.StartPty({"--ports", server_.Ports(), "--com", "1", "--modem", answer,
                                   "--transcript", transcript_}));
        // A modem that never answers the dial is given up after 3 s, not 90.
        ASSERT_TRUE(server_.Start({"ORVANA_MODEM_DIAL_MS=3000"}));
    }
    // What the modem and the receiver behind it received, one entry a line.
    std::vector<std::string> Heard() const { return TranscriptLines(transcript_); }
    std::vector<std::string> ModemLines() const {
        std::vector<std::string> out;
        for (const std::string& l : Heard())
            if (l.rfind("modem< ", 0) == 0) out.push_back(l.substr(7));
        return out;
    }
    bool Heard(const std::string& line) const {
        const auto all = Heard();
        return std::find(all.begin(), all.end(), line) != all.end();
    }
    std::unique_ptr<StreamClient> LoggedIn() { return LoggedInStream(server_.port(), "ann"); }

    ServerProcess server_;
    simtest::Sim sim_;
    std::string transcript_;
};

using Lines = std::vector<std::string>;

TEST_F(ModemLinkTest, DialsConnectsServesAndHangsUp) {
    Start("connect", false);
    auto c = LoggedIn();
    ASSERT_EQ(Text(c->Call("OpenRcv Far", 1, 60)), "RE:OK.");
    EXPECT_EQ(ModemLines(), (Lines{"ate0v1x7<cr>", "atd5551234<cr>"}));
    // The receiver's own modem is told not to hang up an idle line.
    EXPECT_TRUE(Heard("%modem%set,modem/a/rcvtimeout,0"));
    EXPECT_TRUE(Heard("%modem%set,modem/a/sndtime,0"));
    EXPECT_EQ(Text(c->Call("Command print,/par/rcvid", 1, 30)).rfind("RE", 0), 0u);
    EXPECT_TRUE(server_.WaitForLog("Dev/MODEM Far thread started"));
    EXPECT_TRUE(server_.WaitForLog("\tModem 1 > CONNECT 9600"));

    ASSERT_EQ(Text(c->Call("CloseRcv", 1, 60)).rfind("RE:OK.", 0), 0u);
    EXPECT_TRUE(WaitUntil([&] { return ModemLines().size() >= 4; }, 20000));
    EXPECT_EQ(ModemLines(), (Lines{"ate0v1x7<cr>", "atd5551234<cr>", "+++", "ath<cr>"}));
    EXPECT_TRUE(server_.WaitForLog("Dev/MODEM Far thread terminated."));
    // Dialled again on the next open.
    ASSERT_EQ(Text(c->Call("OpenRcv Far", 1, 60)), "RE:OK.");
    EXPECT_EQ(ModemLines().size(), 6u);
}

TEST_F(ModemLinkTest, GsmModemGetsItsOwnSequence) {
    Start("connect", true, "+4930123");
    auto c = LoggedIn();
    ASSERT_EQ(Text(c->Call("OpenRcv Far", 1, 60)), "RE:OK.");
    EXPECT_EQ(ModemLines(), (Lines{"ate0<cr>", "atv1<cr>", "atd+4930123<cr>"}));
}

TEST_F(ModemLinkTest, NoCarrierSilenceAndNoNumberAreRefused) {
    struct Case {
        const char* answer;
        const char* phone;
    } cases[] = {{"nocarrier", "5551234"},
                 {"silent", "5551234"},
                 {"connect", ""},
                 // "atd" and 37 digits: 40 characters, too long to send.
                 {"connect", "1234567890123456789012345678901234567"}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.answer);
        Start(k.answer, false, k.phone);
        auto c = LoggedIn();
        EXPECT_EQ(Text(c->Call("OpenRcv Far", 1, 60)), "ER:Can't open receiver:Far");
        EXPECT_TRUE(server_.WaitForLog("ER:no CONNECT on dial"));
        if (*k.phone != '\0') {
            // A failed dial still hangs up.
            EXPECT_TRUE(WaitUntil([&] { return Heard("modem< ath<cr>"); }, 20000));
            for (const std::string& l : ModemLines()) EXPECT_EQ(l.size() > 40, false) << l;
        } else {
            EXPECT_TRUE(ModemLines().empty());
        }
        server_.Stop();
        sim_.Stop();
        std::remove(transcript_.c_str());
    }
}

}  // namespace
}  // namespace orvana::test
