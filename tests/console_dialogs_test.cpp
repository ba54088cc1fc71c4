// What the console's receiver, operator and boot dialogs change, against a running server with a
// simulated receiver and a real store: names, access lists, the receiver table, the clients'
// notices and the interface keys.

#include <gtest/gtest.h>

#include "console/model/boot_config.h"
#include "console/model/interface_form.h"
#include "console/model/receiver_list.h"
#include "core/config_keys.h"
#include "core/server.h"
#include "tests/support/temp_store.h"
#include "tests/tcp_link_harness.h"

namespace orvana {
namespace {

using namespace console;
using orvana::LinkKind;

std::string ReceiverKey(const std::string& name) {
    return std::string(cfg::kReceiversKey) + name;
}
std::string UserKey(const std::string& name) {
    return std::string(cfg::kUsersKey) + name;
}

class ReceiverListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sim_.Start());
        test::AddTcpReceiver(store(), "sim", "TCP 127.0.0.1", sim_.port());
        store().WriteText(UserKey("ann"), cfg::kAccessRcv.name, "sim,sim2,");
        ASSERT_NE(local_.Start(), nullptr);
        ASSERT_TRUE(ann_.Connect(local_.server().ListenPort()));
        ASSERT_EQ(ann_.Ask("OpenUsr ann secret rover"), "RE:OK.");
    }
    ConfigStore& store() { return local_.store(); }
    Server& server() { return local_.server(); }
    std::string Access(const std::string& user) {
        return store().ReadText(UserKey(user), cfg::kAccessRcv.name, "");
    }
    bool InTable(const std::string& name) {
        std::lock_guard<platform::RecursiveLock> lock(server().receiver_table_lock());
        for (const std::string& n : server().receiver_names())
            if (n == name) return true;
        return false;
    }
    // The receiver-state notices ann was sent, in order.
    std::vector<std::string> Notices(size_t count) {
        std::vector<std::string> seen;
        while (seen.size() < count) {
            auto f = ann_.ReadFrame(10);
            if (!f) break;
            if (f->type == 0x700) seen.push_back(f->data);
        }
        return seen;
    }

    test::SimReceiver sim_;
    test::LocalServer local_;
    test::TestClient ann_;
};

TEST_F(ReceiverListTest, ANewReceiverStartsDisabledOnCom1AndNamesAreUnique) {
    EXPECT_EQ(EndReceiverNameEdit(server(), "", "sim"), NameEdit::kNameExists);
    EXPECT_EQ(EndReceiverNameEdit(server(), "", "a\\b"), NameEdit::kBadName);
    EXPECT_EQ(EndReceiverNameEdit(server(), "", ""), NameEdit::kBadName);
    ASSERT_EQ(EndReceiverNameEdit(server(), "", "base"), NameEdit::kDone);
    EXPECT_FALSE(store().ReadFlag(ReceiverKey("base"), cfg::kEnableRcv.name, true));
    EXPECT_EQ(store().ReadText(ReceiverKey("base"), cfg::kInterface.name, ""), "COM 1");
    EXPECT_EQ(store().ReadNumber("Interface\\COM 1", cfg::kRTSCTS.name, 0), 1u);
    EXPECT_EQ(store().ReadText("Interface\\COM 1", cfg::kSpeed.name, ""), "115200");

    auto rows = ReadReceiverRows(store());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(CountEnabledReceivers(store()), 1u);
    for (const ReceiverRow& r : rows) {
        EXPECT_EQ(r.interface_column, r.name == "sim" ? "TCP 127.0.0.1" : "COM 1") << r.name;
    }
}

TEST_F(ReceiverListTest, RenameKeepsValuesRewritesWholeAccessItemsAndTellsTheClients) {
    store().WriteText(UserKey("bob"), cfg::kAccessRcv.name, "sim2,sim,");
    store().WriteText(ReceiverKey("sim"), cfg::kComment.name, "roof");
    ASSERT_EQ(EndReceiverNameEdit(server(), "sim", "roof"), NameEdit::kDone);
    EXPECT_FALSE(store().KeyExists(ReceiverKey("sim")));
    EXPECT_EQ(store().ReadText(ReceiverKey("roof"), cfg::kComment.name, ""), "roof");
    EXPECT_EQ(store().ReadText(ReceiverKey("roof"), cfg::kInterface.name, ""), "TCP 127.0.0.1");
    EXPECT_TRUE(store().ReadFlag(ReceiverKey("roof"), cfg::kEnableRcv.name, false));
    EXPECT_EQ(Access("ann"), "roof,sim2,") << "sim2 is another receiver";
    EXPECT_EQ(Access("bob"), "sim2,roof,");
    EXPECT_FALSE(InTable("sim"));
    EXPECT_TRUE(InTable("roof"));
    EXPECT_EQ(Notices(2), (std::vector<std::string>{"RS:sim,0", "RS:roof,1"}));
    EXPECT_EQ(EndReceiverNameEdit(server(), "roof", "roof"), NameEdit::kDone);
}

TEST_F(ReceiverListTest, AReceiverInUseIsNotRemovedAndAFreeOneLeavesNoKeyBehind) {
    ASSERT_EQ(ann_.Ask("OpenRcv sim", 1, 30), "RE:OK.");
    EXPECT_EQ(RemoveReceiver(server(), "sim"), RemoveResult::kInUse);
    EXPECT_TRUE(store().KeyExists(ReceiverKey("sim")));
    EXPECT_TRUE(InTable("sim"));

    ASSERT_EQ(ann_.Ask("CloseRcv", 1, 30).rfind("RE:OK.", 0), 0u);
    EXPECT_EQ(RemoveReceiver(server(), "sim"), RemoveResult::kRemoved);
    EXPECT_FALSE(store().KeyExists(ReceiverKey("sim")));
    EXPECT_FALSE(store().KeyExists("Interface\\TCP 127.0.0.1"));
    EXPECT_EQ(Access("ann"), "sim2,");
    EXPECT_FALSE(InTable("sim"));
    EXPECT_EQ(Notices(1), std::vector<std::string>{"RS:sim,0"});
}

TEST_F(ReceiverListTest, The65thReceiverHasNoPlaceAndChangesNothing) {
    for (int i = 2; i <= 64; ++i) SetReceiverEnabled(server(), "r" + std::to_string(i), true);
    EXPECT_TRUE(InTable("r64"));
    EXPECT_TRUE(store().ReadFlag(ReceiverKey("r64"), cfg::kEnableRcv.name, false));
    SetReceiverEnabled(server(), "r65", true);
    EXPECT_TRUE(local_.WaitForLog("Don't have temporary place for receiver!!"));
    EXPECT_FALSE(InTable("r65"));
    EXPECT_FALSE(store().KeyExists(ReceiverKey("r65")));

    SetReceiverEnabled(server(), "r64", false);
    EXPECT_FALSE(InTable("r64"));
    EXPECT_FALSE(store().ReadFlag(ReceiverKey("r64"), cfg::kEnableRcv.name, true));
    SetReceiverEnabled(server(), "r65", true);
    EXPECT_TRUE(InTable("r65")) << "the freed entry takes the next one";
}

TEST_F(ReceiverListTest, AccessListsTurnIntoAllAndBackWholeItemsOnly) {
    SetReceiverEnabled(server(), "sim2", true);
    store().WriteText(UserKey("bob"), cfg::kAccessRcv.name, "sim22,");
    EXPECT_EQ(AddReceiverAccess(store(), "bob", "sim"), AccessEdit::kDone);
    EXPECT_EQ(Access("bob"), "sim22,sim,");
    EXPECT_EQ(AddReceiverAccess(store(), "bob", "sim"), AccessEdit::kAlreadyThere);
    EXPECT_EQ(RemoveReceiverAccess(store(), "bob", "sim2"), AccessEdit::kNotThere)
        << "sim22 is not sim2";
    EXPECT_EQ(AddReceiverAccess(store(), "bob", "sim2"), AccessEdit::kDone);
    EXPECT_EQ(Access("bob"), "ALL") << "every enabled receiver named";
    EXPECT_EQ(AddReceiverAccess(store(), "bob", "sim"), AccessEdit::kDone);
    EXPECT_EQ(Access("bob"), "ALL");
    EXPECT_EQ(RemoveReceiverAccess(store(), "bob", "sim"), AccessEdit::kDone);
    EXPECT_EQ(Access("bob"), "sim2,") << "ALL expanded to the enabled receivers";
}

TEST_F(ReceiverListTest, InterfaceSettingsRoundTripAndAUsedInterfaceIsRefusedKeepingTheOld) {
    InterfaceForm tcp = ReadInterfaceForm(store(), "sim");
    EXPECT_EQ(tcp.kind, LinkKind::kTcp);
    EXPECT_EQ(tcp.host, "127.0.0.1");
    EXPECT_EQ(tcp.port, sim_.port());
    EXPECT_FALSE(tcp.check_login);

    ASSERT_EQ(EndReceiverNameEdit(server(), "", "base"), NameEdit::kDone);
    InterfaceForm com = ReadInterfaceForm(store(), "base");
    EXPECT_EQ(com.kind, LinkKind::kCom);
    EXPECT_TRUE(com.rtscts);
    EXPECT_EQ(com.speed, "115200");
    ShowComPort(store(), "COM 7", &com);
    EXPECT_FALSE(com.rtscts);
    EXPECT_EQ(com.speed, "9600") << "a port without a key shows 9600";

    // Onto the interface sim uses: refused, and base keeps its own key.
    InterfaceForm taken = tcp;
    EXPECT_EQ(InterfaceText(taken), "TCP 127.0.0.1:" + std::to_string(sim_.port()));
    store().WriteNumber("Interface\\" + InterfaceText(taken), cfg::kPort.name, sim_.port());
    EXPECT_EQ(SaveInterfaceForm(store(), "base", taken), SaveResult::kInterfaceUsed);
    EXPECT_TRUE(store().KeyExists("Interface\\COM 1"));
    EXPECT_EQ(store().ReadText(ReceiverKey("base"), cfg::kInterface.name, ""), "COM 1");

    InterfaceForm modem;
    modem.kind = LinkKind::kModem;
    modem.com_port = "COM 12";
    modem.gsm = true;
    modem.pin = "1234";
    modem.phone = "5551234";
    modem.speed = "19200";
    ASSERT_EQ(SaveInterfaceForm(store(), "base", modem), SaveResult::kSaved);
    EXPECT_FALSE(store().KeyExists("Interface\\COM 1")) << "the previous interface key goes";
    EXPECT_EQ(store().ReadText(ReceiverKey("base"), cfg::kInterface.name, ""), "MODEM 12");
    InterfaceForm back = ReadInterfaceForm(store(), "base");
    EXPECT_EQ(back.kind, LinkKind::kModem);
    EXPECT_EQ(back.com_port, "COM 12");
    EXPECT_TRUE(back.gsm);
    EXPECT_EQ(back.pin, "1234");
    EXPECT_EQ(back.phone, "5551234");
    EXPECT_EQ(back.speed, "19200");
    EXPECT_EQ(SaveInterfaceForm(store(), "base", back), SaveResult::kSaved)
        << "saving a receiver on its own interface again";

    InterfaceForm gate;
    gate.kind = LinkKind::kGate;
    gate.gate_host = "10.0.0.9";
    ASSERT_EQ(SaveInterfaceForm(store(), "base", gate), SaveResult::kSaved);
    back = ReadInterfaceForm(store(), "base");
    EXPECT_EQ(back.gate_host, "10.0.0.9");
    EXPECT_EQ(back.gate_user, "Guest");
    EXPECT_EQ(back.gate_receiver, "None");
}

TEST(BootConfiguration, NamesAreCheckedAndOkMakesTheChoiceCurrent) {
    test::TempStore home;
    ConfigStore root = home.store->AtRoot();
    root.WriteText("Main", cfg::kPortServer.name, "8000");
    root.WriteText("Main", cfg::kIPAdress.name, "127.0.0.1");
    root.WriteText("Spare\\Users\\x", cfg::kUserPassword.name, "");  // no PortServer of its own

    EXPECT_EQ(ReadBootValues(root, "Spare").port, kNoValue);
    EXPECT_EQ(ReadBootValues(root, "Main").port, "8000");
    BootValues v = ReadBootValues(root, "Main");
    EXPECT_EQ(SaveBootConfiguration(root, "Main", true, v), BootSave::kBadName)
        << "a new configuration named like an existing one";
    EXPECT_EQ(SaveBootConfiguration(root, "Gone", false, v), BootSave::kBadName);
    v.port = "";
    EXPECT_EQ(SaveBootConfiguration(root, "Main", false, v), BootSave::kNoPort);

    BootValues spare = ReadBootValues(root, "Spare");
    spare.address = "0.0.0.0";
    spare.auto_start = true;
    ASSERT_EQ(SaveBootConfiguration(root, "Spare", false, spare), BootSave::kSaved);
    EXPECT_EQ(root.ReadText(cfg::kActiveKey, cfg::kCurrentConfig.name, ""), "Spare");
    EXPECT_EQ(root.ReadText("Spare", cfg::kPortServer.name, ""), "NONE");
    EXPECT_EQ(root.ReadNumber("Spare", cfg::kAutoStart.name, 0), 1u);

    BootValues fresh;
    fresh.port = "9000";
    fresh.address = "127.0.0.1";
    ASSERT_EQ(SaveBootConfiguration(root, "Third", true, fresh), BootSave::kSaved);
    EXPECT_EQ(root.ReadText(cfg::kActiveKey, cfg::kCurrentConfig.name, ""), "Third");
    const std::vector<std::string> names = ConfigurationNames(root);
    EXPECT_EQ(names.size(), 3u);

    const std::vector<std::string> addresses = ListenAddressChoices();
    ASSERT_FALSE(addresses.empty());
    EXPECT_EQ(addresses.back(), "0.0.0.0");
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), "127.0.0.1"), addresses.end());
}

}  // namespace
}  // namespace orvana
