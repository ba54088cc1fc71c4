// The main window on a running server: its title, the connection list after a client's real
// OpenRcv and Attach, the Delete key, the log view, the status bar, the chat window, and what
// closing it saves and stops.

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTest>

#include "console/chat_window.h"
#include "console/connection_view.h"
#include "console/log_view.h"
#include "console/main_window.h"
#include "tests/console/console_rig.h"

namespace orvana {
namespace {

using console::MainWindow;

constexpr int kWaitMs = 10000;

class MainWindowTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(rig_.Start()); }
    std::unique_ptr<MainWindow> Open() {
        auto w = std::make_unique<MainWindow>(rig_.context(), rig_.bridge());
        w->show();
        return w;
    }
    uint32_t Stored(const cfg::NumberSetting& s) {
        return rig_.store().ReadNumber(cfg::kActiveKey, s.name, 12345);
    }
    test::ConsoleRig rig_;
};

TEST_F(MainWindowTest, ListsTheClientsReceiversAndTheirMessagesUntilTheyCloseThem) {
    auto w = Open();
    EXPECT_EQ(w->windowTitle(), "OrvanaSrv   0.0.0.0:0");
    QTreeWidget* list = w->connections();
    EXPECT_EQ(list->topLevelItemCount(), 0);
    EXPECT_EQ(list->headerItem()->text(2), "Receiver");

    ASSERT_EQ(rig_.ann().Ask("OpenRcv sim", 1, 30), "RE:OK.");
    ASSERT_EQ(rig_.ann().Ask("Attach 0,RT:1,SI", 1, 30), "RE:OK.");
    ASSERT_TRUE(w->connections()->Refresh());
    ASSERT_EQ(list->topLevelItemCount(), 1);
    QTreeWidgetItem* row = list->topLevelItem(0);
    EXPECT_EQ(row->text(2), "sim");
    EXPECT_EQ(row->text(3), "ann");
    EXPECT_EQ(row->text(4), "rover");
    EXPECT_EQ(row->text(6), "TCP 127.0.0.1");
    EXPECT_EQ(row->text(7), "jps/RT:1.0,SI:1.0,");
    EXPECT_EQ(row->text(1).size(), 8) << "the counter is eight wide";

    EXPECT_TRUE(w->ShownStatus().startsWith("Server started ")) << w->ShownStatus().toStdString();
    EXPECT_TRUE(w->ShownStatus().contains("Receivers: 1")) << w->ShownStatus().toStdString();
    EXPECT_TRUE(w->ShownStatus().contains("Connections: 1/128")) << w->ShownStatus().toStdString();

    // The 5 s timer alone takes the row away once the client closes the receiver.
    ASSERT_EQ(rig_.ann().Ask("CloseRcv", 1, 30).rfind("RE:OK.", 0), 0u);
    EXPECT_TRUE(QTest::qWaitFor([&] { return list->topLevelItemCount() == 0; }, 3 * 5000));
}

TEST_F(MainWindowTest, DeleteTellsTheClientsAndClosesTheReceiverForThem) {
    auto w = Open();
    ASSERT_EQ(rig_.ann().Ask("OpenRcv sim", 1, 30), "RE:OK.");
    ASSERT_TRUE(w->connections()->Refresh());
    QTreeWidget* list = w->connections();
    ASSERT_EQ(list->topLevelItemCount(), 1);
    list->setCurrentItem(list->topLevelItem(0));

    rig_.prompts().answer = false;
    QTest::keyClick(list, Qt::Key_Delete);
    ASSERT_EQ(rig_.prompts().asked.size(), 1u);
    EXPECT_EQ(rig_.prompts().asked[0], "Attention!|Are you sure you want to delete receiver sim?");
    ASSERT_TRUE(w->connections()->Refresh());
    EXPECT_EQ(list->topLevelItemCount(), 1) << "Cancel deletes nothing";

    rig_.prompts().answer = true;
    list->setCurrentItem(list->topLevelItem(0));
    QTest::keyClick(list, Qt::Key_Delete);
    auto notice = rig_.NextOfType(0x900);
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(notice->data, "RS:sim,0");
    EXPECT_EQ(notice->handle, 1u);
    EXPECT_TRUE(QTest::qWaitFor([&] { return list->topLevelItemCount() == 0; }, kWaitMs));
    EXPECT_TRUE(rig_.local().WaitForLog("ER:Operator kill receiver=sim"));
    EXPECT_EQ(rig_.ann().Ask("GetRcvList", 0, 10).find("ER:"), std::string::npos)
        << "the client itself stays connected";
}

TEST_F(MainWindowTest, WithoutTheReceiverColumnDeleteIsRefused) {
    rig_.store().WriteNumber(cfg::kActiveKey, cfg::kProCon.name, 0xFB);
    auto w = Open();
    ASSERT_EQ(rig_.ann().Ask("OpenRcv sim", 1, 30), "RE:OK.");
    ASSERT_TRUE(w->connections()->Refresh());
    QTreeWidget* list = w->connections();
    EXPECT_TRUE(list->isColumnHidden(2));
    EXPECT_FALSE(list->isColumnHidden(3));
    list->setCurrentItem(list->topLevelItem(0));
    QTest::keyClick(list, Qt::Key_Delete);
    EXPECT_TRUE(rig_.prompts().asked.empty());
    ASSERT_EQ(rig_.prompts().told.size(), 1u);
    EXPECT_EQ(rig_.prompts().told[0], "Attention!|Failed to delete the receiver.");
    ASSERT_TRUE(w->connections()->Refresh());
    EXPECT_EQ(list->topLevelItemCount(), 1);
}

TEST_F(MainWindowTest, TheLogViewShowsNewLinesAndKeepsViewMaxLine) {
    rig_.store().WriteNumber(cfg::kActiveKey, cfg::kViewMaxLine.name, 5);
    auto w = Open();
    EXPECT_GT(w->log()->document()->blockCount(), 0) << "the start-up's lines are shown";
    for (int i = 0; i < 20; ++i) rig_.server().log().WriteLine("line " + std::to_string(i));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return w->log()->toPlainText().endsWith("line 19"); }, kWaitMs));
    EXPECT_EQ(w->log()->document()->blockCount(), 5);
    EXPECT_FALSE(w->log()->toPlainText().contains("line 14"));
}

TEST_F(MainWindowTest, AClientsChatOpensTheWindowAndTheOperatorAnswers) {
    auto w = Open();
    EXPECT_EQ(w->chat(), nullptr);
    ASSERT_TRUE(rig_.ann().Request("Chat hello operator"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->chat() != nullptr; }, kWaitMs));
    console::ChatWindow* chat = w->chat();
    auto* history = chat->findChild<QPlainTextEdit*>("history");
    ASSERT_NE(history, nullptr);
    EXPECT_TRUE(history->toPlainText().contains("/ann hello operator"))
        << history->toPlainText().toStdString();
    auto* peers = chat->findChild<QComboBox*>("peers");
    ASSERT_EQ(peers->count(), 1);
    EXPECT_TRUE(peers->currentText().endsWith("/ann"));

    chat->findChild<QLineEdit*>("message")->setText("hi there");
    chat->Send();
    auto line = rig_.NextOfType(0x5FE);
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(line->data, "CT:hi there");
    EXPECT_EQ(line->handle, 1u);
}

TEST_F(MainWindowTest, CloseAsksAndOnOkSavesThePlacementAndStopsTheServer) {
    auto w = Open();
    rig_.prompts().answer = false;
    EXPECT_FALSE(w->close());
    ASSERT_EQ(rig_.prompts().asked.size(), 1u);
    EXPECT_EQ(rig_.prompts().asked[0], "Please confirm|Are you sure you want to exit?");
    EXPECT_EQ(Stored(cfg::kMainFrameL), 12345u) << "Cancel saves nothing";
    EXPECT_EQ(rig_.ann().Ask("GetRcvList", 0, 10).rfind("RE", 0), 0u) << "and keeps serving";

    rig_.prompts().answer = true;
    w->setGeometry(40, 50, 600, 400);
    w->splitter()->setSizes({150, 200});
    const QList<int> heights = w->splitter()->sizes();
    EXPECT_TRUE(w->close());
    EXPECT_EQ(Stored(cfg::kMainFrameL), 40u);
    EXPECT_EQ(Stored(cfg::kMainFrameT), 50u);
    EXPECT_EQ(Stored(cfg::kMainFrameR), 640u);
    EXPECT_EQ(Stored(cfg::kMainFrameB), 450u);
    EXPECT_EQ(Stored(cfg::kMainFrameCon), static_cast<uint32_t>(heights[0]));
    EXPECT_EQ(Stored(cfg::kMainFrameWin), static_cast<uint32_t>(heights[1]));
    EXPECT_TRUE(rig_.ann().WaitClosed(10)) << "the server has stopped";
}

TEST_F(MainWindowTest, LogFileStartsTheViewerOrSaysItCannot) {
    auto w = Open();
    const QByteArray before = qgetenv("VISUAL");
    qputenv("VISUAL", "/nonexistent/viewer");
    w->OpenLogFile();
    ASSERT_EQ(rig_.prompts().told.size(), 1u);
    EXPECT_EQ(rig_.prompts().told[0], "Error|Can't create process server!");
    qputenv("VISUAL", "true");
    w->OpenLogFile();
    EXPECT_EQ(rig_.prompts().told.size(), 1u) << "a viewer that starts shows no box";
    qputenv("VISUAL", before);
}

TEST_F(MainWindowTest, ASavedPlacementIsKeptOnTheDesktopAndNoneKeepsTheDefault) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    {
        auto w = Open();
        EXPECT_EQ(w->size(), QSize(900, 520)) << "nothing saved: the default size";
    }
    ConfigStore& s = rig_.store();
    s.WriteNumber(cfg::kActiveKey, cfg::kMainFrameL.name,
                  static_cast<uint32_t>(area.right() - 100));
    s.WriteNumber(cfg::kActiveKey, cfg::kMainFrameT.name, 10);
    s.WriteNumber(cfg::kActiveKey, cfg::kMainFrameR.name,
                  static_cast<uint32_t>(area.right() + 500));
    s.WriteNumber(cfg::kActiveKey, cfg::kMainFrameB.name, 310);
    auto w = Open();
    EXPECT_LE(w->geometry().right(), area.right() + 1) << "clipped to the work area";
    EXPECT_GE(w->geometry().left(), area.left());
    EXPECT_EQ(w->geometry().top(), 10);
}

}  // namespace
}  // namespace orvana
