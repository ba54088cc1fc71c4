// The console's parts that need no window: the connection list read from a running server, the
// status bar, the saved placement and the settings it repairs.

#include <gtest/gtest.h>

#include <thread>

#include "console/model/connection_list.h"
#include "console/model/placement.h"
#include "console/model/status_text.h"
#include "console/model/user_list.h"
#include "console/model/view_settings.h"
#include "core/config_keys.h"
#include "core/server.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "receivers/operator_delete.h"
#include "receivers/receiver_table.h"
#include "tests/server_harness.h"
#include "tests/tcp_link_harness.h"

namespace orvana {
namespace {

using console::ConnectionList;
using console::Rect;
using console::RestoredPlacement;

class ConsoleConnections : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sim_.Start());
        test::AddTcpReceiver(local_.store(), "sim", "TCP 127.0.0.1", sim_.port());
        ASSERT_NE(local_.Start(), nullptr);
        ASSERT_TRUE(ann_.Connect(local_.server().ListenPort()));
        ASSERT_EQ(ann_.Ask("OpenUsr ann secret rover"), "RE:OK.");
    }
    std::vector<admin::ConnectionRow> Rows() {
        auto rows = admin::ReadConnectionRows(local_.server(), 5000);
        EXPECT_TRUE(rows.has_value());
        return rows.value_or(std::vector<admin::ConnectionRow>{});
    }

    test::SimReceiver sim_;
    test::LocalServer local_;
    test::TestClient ann_;
};

TEST_F(ConsoleConnections, ARowPerOpenReceiverWithItsMessagesOrElseTheLastRequest) {
    EXPECT_TRUE(Rows().empty()) << "logged in, nothing open";
    ASSERT_EQ(ann_.Ask("OpenRcv sim", 1, 30), "RE:OK.");
    ConnectionList list;
    auto shown = list.Refresh(Rows());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].cells[2], "sim");
    EXPECT_EQ(shown[0].cells[3], "ann");
    EXPECT_EQ(shown[0].cells[4], "rover");
    EXPECT_EQ(shown[0].cells[5].rfind("127.0.0.1:", 0), 0u) << shown[0].cells[5];
    EXPECT_EQ(shown[0].cells[6], "TCP 127.0.0.1");
    EXPECT_EQ(shown[0].cells[7], "OpenRcv sim") << "no messages yet: the last request";
    EXPECT_EQ(shown[0].cells[1], "      22") << "the reply to OpenRcv, counted on its handle";
    EXPECT_FALSE(shown[0].cells[0].empty());

    // A login sent again shows, but never its password.
    ann_.Ask("OpenUsr ann secret rover");
    shown = list.Refresh(Rows());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].cells[7].rfind("OpenUsr ann ", 0), 0u) << shown[0].cells[7];
    EXPECT_EQ(shown[0].cells[7].find("secret"), std::string::npos) << shown[0].cells[7];

    ASSERT_EQ(ann_.Ask("Attach 0,RT:1,SI", 1, 30), "RE:OK.");
    shown = list.Refresh(Rows());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].cells[7], "jps/RT:1.0,SI:1.0,");
    EXPECT_EQ(shown[0].slot, Rows()[0].slot);
    EXPECT_EQ(shown[0].handle, 1);

    ASSERT_EQ(ann_.Ask("CloseRcv", 1, 30).rfind("RE:OK.", 0), 0u);
    EXPECT_TRUE(list.Refresh(Rows()).empty());
}

TEST_F(ConsoleConnections, ARefreshGivesUpAtOnceWhileATableIsBusy) {
    ASSERT_EQ(ann_.Ask("OpenRcv sim", 1, 30), "RE:OK.");
    std::mutex mu;
    std::condition_variable cv;
    bool held = false, done = false;
    std::thread holder([&] {
        std::lock_guard<platform::RecursiveLock> clients(local_.server().clients().lock());
        std::unique_lock<std::mutex> lock(mu);
        held = true;
        cv.notify_all();
        cv.wait(lock, [&] { return done; });
    });
    {
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, [&] { return held; });
    }
    const uint32_t start = platform::TickCount();
    EXPECT_FALSE(admin::ReadConnectionRows(local_.server(), 1).has_value());
    // Generous: a loaded machine may stall any thread.
    EXPECT_LT(platform::TickCount() - start, 1000u);
    {
        std::lock_guard<std::mutex> lock(mu);
        done = true;
    }
    cv.notify_all();
    holder.join();
    EXPECT_EQ(Rows().size(), 1u);
}

TEST_F(ConsoleConnections, DeletingAReceiverTellsEveryHolderAndClosesItForThem) {
    test::TestClient bob;
    ASSERT_TRUE(bob.Connect(local_.server().ListenPort()));
    ASSERT_EQ(bob.Ask("OpenUsr ann secret base"), "RE:OK.");
    ASSERT_EQ(ann_.Ask("OpenRcv sim", 1, 30), "RE:OK.");
    ASSERT_EQ(bob.Ask("OpenRcv sim", 2, 30), "RE:OK.");
    ASSERT_EQ(Rows().size(), 2u);

    ASSERT_TRUE(DeleteReceiverForEveryone(local_.server(), "sim", 5000));
    for (auto [client, handle] : {std::pair{&ann_, 1u}, std::pair{&bob, 2u}}) {
        auto notice = client->ReadFrame(10);
        ASSERT_TRUE(notice);
        EXPECT_EQ(notice->data, "RS:sim,0");
        EXPECT_EQ(notice->type, 0x900u);
        EXPECT_EQ(notice->handle, handle);
        EXPECT_EQ(client->Ask("Command print,/par/rcv/model", static_cast<uint8_t>(handle), 30),
                  "ER:Receiver not open!");
    }
    EXPECT_TRUE(Rows().empty());
    EXPECT_TRUE(local_.WaitForLog("ER:Operator kill receiver=sim"));
    // Nobody holds it any more: it opens afresh.
    EXPECT_EQ(ann_.Ask("OpenRcv sim", 1, 30), "RE:OK.");
}

TEST(ConsoleList, ARowIsMarkedWhileItsCounterMoves) {
    admin::ConnectionRow a;
    a.slot = 3;
    a.handle = 1;
    admin::ConnectionRow b = a;
    b.handle = 2;
    b.bytes_sent = 10;
    ConnectionList list;
    auto shown = list.Refresh({a, b});
    EXPECT_FALSE(shown[0].moved);
    EXPECT_TRUE(shown[1].moved);
    b.bytes_sent = 10;
    a.bytes_sent = 4000000000u;
    shown = list.Refresh({a, b});
    EXPECT_TRUE(shown[0].moved);
    EXPECT_FALSE(shown[1].moved);
    EXPECT_EQ(shown[0].cells[1], "4000000000") << "past 2 GB the counter stays positive";
    EXPECT_EQ(shown[1].cells[1], "      10");
    a.bytes_sent = 0;
    EXPECT_EQ(list.Refresh({a})[0].cells[1], "        ") << "nothing sent prints blank";
}

TEST(ConsoleStatus, TimeOnlinePastTheTickCountsWrap) {
    console::StatusFigures f;
    f.started = "07.12.2026 06:05";
    f.online_ms = (60ull * 86400 + 2 * 3600 + 3 * 60 + 4) * 1000 + 999;
    f.receivers = 2;
    f.connections = 3;
    f.client_slots = 128;
    EXPECT_EQ(console::StatusText(f),
              "Server started 07.12.2026 06:05    Time online  60d02h03m04s     Receivers: 2     "
              "Connections: 3/128");
}

TEST(ConsolePlacement, SavedRectanglesAreNormalisedAndKeptOnTheDesktop) {
    const Rect desk{0, 0, 1920, 1080};
    EXPECT_FALSE(RestoredPlacement({}, desk)) << "nothing saved: the default position";
    EXPECT_EQ(RestoredPlacement({100, 50, 900, 700}, desk), (Rect{100, 50, 900, 700}));
    EXPECT_EQ(RestoredPlacement({900, 700, 100, 50}, desk), (Rect{100, 50, 900, 700}));
    EXPECT_EQ(RestoredPlacement({1500, -40, 2500, 600}, desk), (Rect{1500, 0, 1920, 600}));
    EXPECT_FALSE(RestoredPlacement({2000, 100, 2600, 500}, desk))
        << "wholly off the desktop: out of sight, so the default position";
}

TEST(ConsoleSettings, ViewMaxLineZeroOrMissingBecomes250InTheStore) {
    test::ServerProcess home;  // a store only; no server is started
    const ConfigStore& store = home.store();
    EXPECT_EQ(console::ViewMaxLines(store), 250u);
    EXPECT_EQ(store.ReadNumber(cfg::kActiveKey, cfg::kViewMaxLine.name, 0), 250u);
    store.WriteNumber(cfg::kActiveKey, cfg::kViewMaxLine.name, 0);
    EXPECT_EQ(console::ViewMaxLines(store), 250u);
    EXPECT_EQ(store.ReadNumber(cfg::kActiveKey, cfg::kViewMaxLine.name, 0), 250u);
    store.WriteNumber(cfg::kActiveKey, cfg::kViewMaxLine.name, 40);
    EXPECT_EQ(console::ViewMaxLines(store), 40u);
}

TEST(ConsoleUsers, ANewUserRenamesAndNamesThatCannotBe) {
    test::ServerProcess home;  // a store only; no server is started
    const ConfigStore& store = home.store();
    using console::NameEdit;
    ASSERT_EQ(console::EndUserNameEdit(store, "", "eve"), NameEdit::kDone);
    const std::string eve = std::string(cfg::kUsersKey) + "eve";
    EXPECT_FALSE(store.ReadFlag(eve, cfg::kEnableUser.name, true)) << "starts disabled";
    EXPECT_TRUE(store.ReadFlag(eve, cfg::kSuperUser.name, false));
    EXPECT_EQ(store.ReadText(eve, cfg::kAccessRcv.name, "?"), "ALL");
    EXPECT_EQ(store.ReadNumber(eve, cfg::kCountUsr.name, 0), 128u);
    EXPECT_EQ(store.ReadText(eve, cfg::kUserPassword.name, "?"), "");
    EXPECT_EQ(store.ReadText(eve, cfg::kHomeDirectory.name, "?"), "");

    home.AddUser("ann", "secret", 3, "roof,");
    EXPECT_EQ(console::EndUserNameEdit(store, "", "ANN"), NameEdit::kNameExists);
    EXPECT_EQ(console::EndUserNameEdit(store, "eve", "ann"), NameEdit::kNameExists);
    EXPECT_EQ(console::EndUserNameEdit(store, "", ""), NameEdit::kBadName);
    EXPECT_EQ(console::EndUserNameEdit(store, "", "a\\b"), NameEdit::kBadName);
    EXPECT_EQ(store.SubKeys(cfg::kUsersKey).size(), 2u) << "nothing made by the refusals";

    ASSERT_EQ(console::EndUserNameEdit(store, "ann", "anna"), NameEdit::kDone);
    EXPECT_FALSE(store.KeyExists(std::string(cfg::kUsersKey) + "ann"));
    const std::string anna = std::string(cfg::kUsersKey) + "anna";
    EXPECT_EQ(store.ReadText(anna, cfg::kUserPassword.name, "?"), "secret");
    EXPECT_EQ(store.ReadNumber(anna, cfg::kCountUsr.name, 0), 3u);
    EXPECT_EQ(store.ReadText(anna, cfg::kAccessRcv.name, "?"), "roof,");
    EXPECT_TRUE(store.ReadFlag(anna, cfg::kEnableUser.name, false));
}

TEST(ConsoleUsers, TheSessionLimitAsTyped) {
    EXPECT_EQ(console::SessionLimit("500"), 128u);
    EXPECT_EQ(console::SessionLimit("7"), 7u);
    EXPECT_EQ(console::SessionLimit("65541"), 5u) << "kept to 16 bits first";
    EXPECT_EQ(console::SessionLimit("99999999999999999999"), 128u) << "no overflow";
    EXPECT_EQ(console::SessionLimit("12ab"), 12u);
    EXPECT_EQ(console::SessionLimit(""), 0u);
}

}  // namespace
}  // namespace orvana

namespace orvana {
namespace {

TEST(ConsoleText, Cp1251IsShownAsUtf8AndTypedTextStoredBack) {
    const std::string stored = "\xCF\xF3\xED\xEA\xF2 1";  // "Пункт 1" as the store keeps it
    const std::string shown = platform::Cp1251ToUtf8(stored);
    EXPECT_EQ(shown, "\xD0\x9F\xD1\x83\xD0\xBD\xD0\xBA\xD1\x82 1");
    EXPECT_EQ(platform::Utf8ToCp1251(shown), stored);
    EXPECT_EQ(platform::Cp1251ToUtf8("a\x98z"), "a\xEF\xBF\xBDz") << "the one undefined byte";
    EXPECT_EQ(platform::Utf8ToCp1251("a\xE2\x82\xACz"), "a\x88z") << "the euro sign is in it";
    EXPECT_EQ(platform::Utf8ToCp1251("a\xE4\xB8\xADz"), "a?z") << "a character it lacks";
    EXPECT_EQ(platform::Utf8ToCp1251("a\xE4\xB8"), "a?") << "a sequence cut short";
    const std::string all_bytes = [] {
        std::string s;
        for (int b = 1; b < 256; ++b)
            if (b != 0x98) s.push_back(static_cast<char>(b));
        return s;
    }();
    EXPECT_EQ(platform::Utf8ToCp1251(platform::Cp1251ToUtf8(all_bytes)), all_bytes);
}

}  // namespace
}  // namespace orvana
