// The receiver, operator and boot dialogs driven as the operator would, against a running server
// with a simulated receiver: what each writes to the store, what the server's receiver table and
// the clients see, and the messages they show.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>

#include "console/access_page.h"
#include "console/boot_dialog.h"
#include "console/connection_page.h"
#include "console/info_page.h"
#include "console/model/receiver_list.h"
#include "console/receiver_list_dialog.h"
#include "console/receiver_properties.h"
#include "console/user_list_dialog.h"
#include "console/user_properties.h"
#include "core/login.h"
#include "tests/console/console_rig.h"

namespace orvana {
namespace {

using namespace console;

constexpr int kWaitMs = 20000;

QTreeWidgetItem* Row(QTreeWidget* list, const QString& name) {
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->text(0) == name) return list->topLevelItem(i);
    return nullptr;
}

class DialogsTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(rig_.Start({"--model", "SIM-MODEL", "--rcvid", "ID42"})); }
    ConfigStore& store() { return rig_.store(); }
    std::string ReceiverText(const std::string& name, const char* value) {
        return store().ReadText(std::string(cfg::kReceiversKey) + name, value, "(none)");
    }
    std::string UserText(const std::string& name, const char* value) {
        return store().ReadText(std::string(cfg::kUsersKey) + name, value, "(none)");
    }
    bool Enabled(const std::string& user) {
        return store().ReadFlag(std::string(cfg::kUsersKey) + user, cfg::kEnableUser.name, false);
    }
    std::vector<std::string>& told() { return rig_.prompts().told; }
    test::ConsoleRig rig_;
};

TEST_F(DialogsTest, ReceiverListAddsRenamesEnablesAndRemoves) {
    ReceiverListDialog d(rig_.context(), nullptr);
    d.show();
    QTreeWidget* list = d.list();
    EXPECT_EQ(d.windowTitle(), "Receiver List  Activated:1");
    ASSERT_NE(Row(list, "sim"), nullptr);
    EXPECT_EQ(Row(list, "sim")->checkState(0), Qt::Checked);

    // A name already there: refused, and the new row goes again.
    d.Add();
    list->currentItem()->setText(0, "sim");
    ASSERT_EQ(told().size(), 1u);
    EXPECT_EQ(told()[0], "Error|Name already exist!");
    EXPECT_EQ(list->topLevelItemCount(), 1);

    d.Add();
    list->currentItem()->setText(0, "base");
    QTreeWidgetItem* base = Row(list, "base");
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(base->text(1), "COM 1");
    EXPECT_EQ(base->checkState(0), Qt::Unchecked);
    EXPECT_EQ(ReceiverText("base", "Interface"), "COM 1");

    base->setCheckState(0, Qt::Checked);
    EXPECT_EQ(d.windowTitle(), "Receiver List  Activated:2");
    auto state = rig_.NextOfType(0x700);
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->data, "RS:base,1");
    EXPECT_TRUE(store().ReadFlag(std::string(cfg::kReceiversKey) + "base", "EnableRcv", false));

    // Renamed in place while enabled: the clients see the old name go and the new one come.
    Row(list, "base")->setText(0, "roof");
    ASSERT_NE(Row(list, "roof"), nullptr);
    EXPECT_EQ(ReceiverText("roof", "Interface"), "COM 1");
    EXPECT_EQ(ReceiverText("base", "Interface"), "(none)");
    auto gone = rig_.NextOfType(0x700);
    auto came = rig_.NextOfType(0x700);
    ASSERT_TRUE(gone && came);
    EXPECT_EQ(gone->data, "RS:base,0");
    EXPECT_EQ(came->data, "RS:roof,1");

    // A receiver in use stays; one nobody holds goes with its keys.
    ASSERT_EQ(rig_.ann().Ask("OpenRcv sim", 1, 30), "RE:OK.");
    list->setCurrentItem(Row(list, "sim"));
    d.Remove();
    EXPECT_EQ(told().back(), "Attention!|This receiver now used");
    EXPECT_NE(Row(list, "sim"), nullptr);
    list->setCurrentItem(Row(list, "roof"));
    d.Remove();
    EXPECT_EQ(rig_.prompts().asked.back(),
              "Attention!|Are you sure you want to delete receiver roof?");
    EXPECT_EQ(Row(list, "roof"), nullptr);
    EXPECT_EQ(list->currentItem(), Row(list, "sim")) << "the row before becomes selected";
    EXPECT_EQ(ReceiverText("roof", "Interface"), "(none)");
    EXPECT_EQ(d.windowTitle(), "Receiver List  Activated:1");
}

TEST_F(DialogsTest, RemovingARowLeftWithoutANameRemovesNothingElse) {
    ReceiverListDialog receivers(rig_.context(), nullptr);
    receivers.Add();  // the operator presses Escape: the row stays unnamed
    receivers.Remove();
    EXPECT_EQ(receivers.list()->topLevelItemCount(), 1);
    EXPECT_EQ(ReceiverText("sim", "Interface"), "TCP 127.0.0.1");
    EXPECT_TRUE(rig_.prompts().asked.empty()) << "nothing stored to ask about";

    UserListDialog users(rig_.context(), nullptr);
    users.Add();
    users.Remove();
    EXPECT_EQ(users.list()->topLevelItemCount(), 1);
    EXPECT_TRUE(Enabled("ann")) << "the users key itself is not deleted";
    EXPECT_EQ(RemoveReceiver(rig_.server(), ""), RemoveResult::kNoReceiver);
    EXPECT_EQ(ReceiverText("sim", "Interface"), "TCP 127.0.0.1");
}

TEST_F(DialogsTest, InfoPagePollsTheReceiverAsDemonAndRemovesItAfterwards) {
    const std::string demon = std::string(cfg::kUsersKey) + kDemonUser;
    {
        ReceiverProperties p(rig_.context(), "sim", nullptr);
        EXPECT_EQ(p.windowTitle(), "Receiver \"sim\" Properties");
        p.show();
        EXPECT_FALSE(store().KeyExists(demon)) << "no poll before the page is shown";
        QSignalSpy ended(p.info(), &InfoPage::PollEnded);
        p.tabs()->setCurrentWidget(p.info());
        EXPECT_TRUE(store().KeyExists(demon));
        ASSERT_TRUE(ended.wait(kWaitMs));
        EXPECT_EQ(p.info()->findChild<QLineEdit*>("receiverType")->text(), "SIM-MODEL");
        EXPECT_EQ(p.info()->findChild<QLineEdit*>("receiverId")->text(), "ID42");
        EXPECT_TRUE(p.info()->isEnabled());

        // Shown again: no second poll.
        p.tabs()->setCurrentIndex(0);
        p.tabs()->setCurrentWidget(p.info());
        EXPECT_FALSE(p.info()->polling());

        p.info()->findChild<QLineEdit*>("comment")->setText("on the roof");
        p.info()->findChild<QLineEdit*>("pointName")->setText("ROOF");
        p.accept();
    }
    EXPECT_FALSE(store().KeyExists(demon)) << "Users\\Demon outlived the page";
    EXPECT_EQ(ReceiverText("sim", "Comment"), "on the roof");
    EXPECT_EQ(ReceiverText("sim", "PointName"), "ROOF");
}

TEST_F(DialogsTest, ConnectionPageRefusesAnInterfaceInUseAndKeepsTheOld) {
    store().WriteNumber("Interface\\TCP 10.0.0.7:8002", "Port", 8002);  // another receiver's
    ReceiverProperties p(rig_.context(), "sim", nullptr);
    p.show();
    ConnectionPage* page = p.connection();
    EXPECT_EQ(page->Form().kind, LinkKind::kTcp);
    page->findChild<QLineEdit*>("tcpHost")->setText("10.0.0.7");
    page->findChild<QSpinBox*>("tcpPort")->setValue(8002);
    p.accept();
    EXPECT_EQ(told().back(), "Error|Inretface already used!");
    EXPECT_TRUE(p.isVisible()) << "the dialog stays open for another choice";
    EXPECT_EQ(ReceiverText("sim", "Interface"), "TCP 127.0.0.1");
    EXPECT_TRUE(store().KeyExists("Interface\\TCP 127.0.0.1"));

    page->findChild<QLineEdit*>("tcpHost")->setText("10.0.0.8");
    page->findChild<QCheckBox*>("checkLogin")->setChecked(true);
    page->findChild<QLineEdit*>("tcpPassword")->setText("pw");
    p.accept();
    EXPECT_EQ(ReceiverText("sim", "Interface"), "TCP 10.0.0.8:8002");
    EXPECT_EQ(store().ReadText("Interface\\TCP 10.0.0.8:8002", "Password", ""), "pw");
    EXPECT_FALSE(store().KeyExists("Interface\\TCP 127.0.0.1"));
}

TEST_F(DialogsTest, UserAccessPageCompletesToAllAndExpandsItAgain) {
    store().WriteText(std::string(cfg::kReceiversKey) + "base", "Interface", "COM 2");
    store().WriteFlag(std::string(cfg::kReceiversKey) + "base", "EnableRcv", true);
    store().WriteText(std::string(cfg::kUsersKey) + "ann", "AccessRcv", "base,");
    ReceiverProperties p(rig_.context(), "sim", nullptr);
    AccessPage* page = p.access();
    QTreeWidget* users = page->users();
    users->setCurrentItem(Row(users, "ann"));
    page->Add();
    EXPECT_EQ(UserText("ann", "AccessRcv"), "ALL") << "every enabled receiver is named";
    EXPECT_EQ(Row(users, "ann")->text(1), "ALL");
    page->Remove();
    EXPECT_EQ(UserText("ann", "AccessRcv"), "base,");
    page->Remove();
    EXPECT_EQ(told().back(), "Error|Can't find!");
    page->Add();
    page->Add();
    EXPECT_EQ(UserText("ann", "AccessRcv"), "ALL") << "nothing to add to ALL";
}

TEST_F(DialogsTest, UserListDefaultsTicksAndProperties) {
    UserListDialog d(rig_.context(), nullptr);
    d.show();
    QTreeWidget* list = d.list();
    EXPECT_EQ(d.windowTitle(), "Operators List  Activated:1");
    d.Add();
    list->currentItem()->setText(0, "bob");
    EXPECT_EQ(UserText("bob", "AccessRcv"), "ALL");
    EXPECT_EQ(UserText("bob", "Password"), "");
    EXPECT_EQ(store().ReadNumber(std::string(cfg::kUsersKey) + "bob", "CountUsr", 0), 128u);
    EXPECT_FALSE(Enabled("bob"));
    EXPECT_TRUE(store().ReadFlag(std::string(cfg::kUsersKey) + "bob", "SuperUser", false));
    EXPECT_EQ(Row(list, "bob")->checkState(0), Qt::Unchecked);

    // Ticks count in the title at once and reach the store only with OK.
    Row(list, "ann")->setCheckState(0, Qt::Unchecked);
    Row(list, "bob")->setCheckState(0, Qt::Checked);
    EXPECT_EQ(d.windowTitle(), "Operators List  Activated:1");
    d.reject();
    EXPECT_TRUE(Enabled("ann")) << "Cancel writes no tick";
    EXPECT_FALSE(Enabled("bob"));

    UserListDialog again(rig_.context(), nullptr);
    Row(again.list(), "bob")->setCheckState(0, Qt::Checked);
    again.list()->setCurrentItem(Row(again.list(), "bob"));
    again.list()->currentItem()->setText(0, "robert");  // renamed, still ticked
    EXPECT_EQ(UserText("robert", "AccessRcv"), "ALL");
    EXPECT_EQ(UserText("bob", "AccessRcv"), "(none)");
    again.accept();
    EXPECT_TRUE(Enabled("robert"));

    UserProperties props(rig_.context(), "robert", nullptr);
    props.findChild<QLineEdit*>("countUsr")->setText("500");
    props.findChild<QLineEdit*>("password")->setText("pw");
    props.accept();
    EXPECT_EQ(store().ReadNumber(std::string(cfg::kUsersKey) + "robert", "CountUsr", 0), 128u);
    EXPECT_EQ(UserText("robert", "Password"), "pw");
}

TEST_F(DialogsTest, BootDialogChecksNamesAndMakesTheChoiceCurrent) {
    ConfigStore root = store().AtRoot();
    root.WriteText("Spare\\Users\\x", "Password", "");  // a configuration without PortServer
    BootDialog d(rig_.context(), nullptr);
    auto* names = d.findChild<QComboBox*>("configurations");
    auto* port = d.findChild<QLineEdit*>("port");
    auto* address = d.findChild<QComboBox*>("address");
    EXPECT_EQ(d.windowTitle(), "Choose Boot Cofiguration");
    EXPECT_EQ(address->itemText(address->count() - 1), "0.0.0.0");
    EXPECT_NE(address->findText("127.0.0.1"), -1);

    names->setCurrentIndex(names->findText("Spare"));
    EXPECT_EQ(port->text(), "NONE");

    d.New();
    names->setEditText("Spare");
    port->setText("9000");
    d.accept();
    EXPECT_EQ(told().back(), "Error|Failed name config!");
    EXPECT_GE(rig_.prompts().beeps, 1);

    BootDialog existing(rig_.context(), nullptr);
    auto* names2 = existing.findChild<QComboBox*>("configurations");
    names2->setCurrentIndex(names2->findText("Spare"));
    existing.findChild<QCheckBox*>("autoStart")->setChecked(true);
    existing.accept();
    EXPECT_EQ(told().back(),
              "Choose Boot Cofiguration|Changes will take effect after you restart the program");
    EXPECT_EQ(root.ReadText(cfg::kActiveKey, "CurrentConfig", ""), "Spare");
    EXPECT_EQ(root.ReadText("Spare", "PortServer", ""), "NONE");
    EXPECT_EQ(root.ReadNumber("Spare", "AutoStart", 0), 1u);
}

}  // namespace
}  // namespace orvana
