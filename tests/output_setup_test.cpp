// Message table and output setup: what a receiver is told to output for its clients.

#include <gtest/gtest.h>

#include "receivers/message_table.h"
#include "receivers/messages_column.h"
#include "receivers/output_setup.h"

namespace orvana {
namespace {

// Replies as a receiver gives them to the four list commands.
bool FakeReceiver(const char* command, std::string* reply) {
    std::string c = command;
    if (c == "list,/msg/jps")
        *reply = "RE01C{RT,PO,SI,~X,EL}\r\n";
    else if (c == "list,/msg/cmr")
        *reply = "RE00A{CMR,CMRP}";
    else if (c == "list,/msg/nmea")
        *reply = "RE010{GGA,RMC,GSV }  \n";
    else if (c == "list,/msg/rtcm")
        *reply = "RE004{1004,1006}";
    else
        return false;
    return true;
}

class OutputSetupTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(table_.Build(FakeReceiver)); }
    int Index(const char* name) {
        for (int i = 0; i < table_.End(); ++i)
            if (table_.Entry(i).name == name) return i;
        return -1;
    }
    MessageTable table_;
    OutputSetup setup_{table_};
    MessageSubscription a_, b_;
};

TEST_F(OutputSetupTest, TableNumbersNamesAcrossGroups) {
    EXPECT_EQ(table_.Entry(0).name, "WL");
    EXPECT_EQ(Index("RT"), 1);
    EXPECT_EQ(Index("EL"), 5);
    EXPECT_EQ(Index("CMR"), 6);
    EXPECT_EQ(table_.Entry(6).group, kGroupCmr);
    EXPECT_EQ(Index("GSV"), 10);  // the last name is trimmed of blanks and line ends
    EXPECT_EQ(Index("1006"), 12);
    EXPECT_EQ(table_.End(), 13);
    EXPECT_TRUE(table_.GroupMask(kGroupJps).test(0));
    EXPECT_TRUE(table_.GroupMask(kGroupNmea).test(8));
    EXPECT_FALSE(table_.GroupMask(kGroupNmea).test(6));
    EXPECT_TRUE(table_.GroupMask(kGroupAll).all());
    // Built once: a later receiver is not asked again.
    EXPECT_TRUE(table_.Build([](const char*, std::string*) { return false; }));
}

TEST(MessageTableTest, FailedBuildKeepsNamesAndIsNotRepeated) {
    MessageTable table;
    int calls = 0;
    auto half = [&](const char* c, std::string* r) {
        ++calls;
        if (std::string(c) != "list,/msg/jps") return false;
        *r = "RE005{A,B}";
        return true;
    };
    EXPECT_FALSE(table.Build(half));
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(table.Build(half));
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(table.End(), 3);
}

TEST(MessageTableTest, StopsAtTheTableSize) {
    MessageTable table;
    std::string many = "RE{";
    for (int i = 0; i < 300; ++i) many += "M" + std::to_string(i) + (i < 299 ? "," : "}");
    EXPECT_TRUE(table.Build([&](const char* c, std::string* r) {
        *r = std::string(c) == "list,/msg/jps" ? many : "RE{X}";
        return true;
    }));
    EXPECT_EQ(table.End(), 256);
    EXPECT_EQ(table.Entry(255).name, "M254");
}

TEST_F(OutputSetupTest, AddsItemsWithPeriodsAndIndexes) {
    ASSERT_TRUE(setup_.AddMessages(&a_, "0,RT:0.5,PO"));
    EXPECT_EQ(setup_.OutputList(), "jps/RT:{0.5,0,-2},jps/PO:{1.0,0,-3},");
    EXPECT_EQ(a_.periods[1], 5);
    EXPECT_EQ(a_.periods[2], 10);
    EXPECT_TRUE(a_.mask.test(1) && a_.mask.test(2));
    EXPECT_TRUE(setup_.UnionMask().test(1));
    EXPECT_EQ(setup_.SlotOf(&a_), 0);

    // A group not yet listed goes first; more of a listed group go after its last item.
    ASSERT_TRUE(setup_.AddMessages(&a_, "2,GGA:10"));
    ASSERT_TRUE(setup_.AddMessages(&a_, "0:EL:2"));
    EXPECT_EQ(setup_.OutputList(),
              "nmea/GGA:{10.0,0,-9},jps/RT:{0.5,0,-2},jps/PO:{1.0,0,-3},jps/EL:{2.0,0,-6},");
}

// The connection lists' text of what an attachment receives.
TEST_F(OutputSetupTest, MessagesColumnNamesGroupsOnceAndPrintsPeriods) {
    EXPECT_EQ(MessagesColumn(table_, a_), "");
    ASSERT_TRUE(setup_.AddMessages(&a_, "0,RT:0.5,PO,EL:25"));
    ASSERT_TRUE(setup_.AddMessages(&a_, "2,GGA:1.1,RMC:1"));
    ASSERT_TRUE(setup_.AddMessages(&a_, "3,1006:0.1"));
    EXPECT_EQ(MessagesColumn(table_, a_),
              "jps/RT:0.5,PO:1.0,EL:25,nmea/GGA:1,RMC:1.0,rtcm/1006:0.1,");
}

TEST_F(OutputSetupTest, SharedMessagesKeepTheirPlaceAndCommonPeriod) {
    ASSERT_TRUE(setup_.AddMessages(&a_, "0,RT:0.5,PO"));
    ASSERT_TRUE(setup_.AddMessages(&b_, "0,RT:1"));
    EXPECT_EQ(setup_.OutputList(), "jps/RT:{0.5,0,-2},jps/PO:{1.0,0,-3},");
    EXPECT_EQ(setup_.Period(1), 5);
    EXPECT_EQ(setup_.SlotOf(&b_), 1);

    MessageSubscription c;
    c.periods[1] = 4;  // as if asked at 0.4 s
    ASSERT_TRUE(setup_.AddMessages(&c, "0,RT:0.4"));
    EXPECT_EQ(setup_.CommonPeriod(1), 1);  // 5, 10 and 4: 5 mod 4 = 1, then 4 mod 1
    EXPECT_EQ(setup_.OutputList(), "jps/RT:{0.1,0,-2},jps/PO:{1.0,0,-3},");
}

TEST_F(OutputSetupTest, CommonPeriodRule) {
    MessageSubscription s[3];
    auto with = [&](std::initializer_list<uint16_t> periods) {
        OutputSetup setup(table_);
        int n = 0;
        for (uint16_t p : periods) {
            EXPECT_TRUE(setup.AddMessages(&s[n], "0,PO"));
            s[n++].periods[2] = p;
        }
        return setup.CommonPeriod(2);
    };
    EXPECT_EQ(with({10, 4}), 2);
    EXPECT_EQ(with({4, 6, 8}), 4);
    EXPECT_EQ(with({30, 30}), 30);
    EXPECT_EQ(with({0, 20}), 20);
    EXPECT_EQ(with({0, 0}), 0);
}

TEST_F(OutputSetupTest, RepeatedNameKeepsTheLastPeriodABadPeriodBecomesOneSecond) {
    ASSERT_TRUE(setup_.AddMessages(&a_, "0,RT:2,PO,RT:5"));
    EXPECT_EQ(setup_.OutputList(), "jps/PO:{1.0,0,-3},jps/RT:{5.0,0,-2},");
    EXPECT_EQ(a_.periods[1], 50);

    OutputSetup fresh(table_);
    ASSERT_TRUE(fresh.AddMessages(&b_, "0,RT:7000"));
    EXPECT_EQ(fresh.ErrorText(), "ER:Unable period - RT:7000");
    EXPECT_EQ(fresh.OutputList(), "jps/RT:{1.0,0,-2},");
    ASSERT_TRUE(fresh.AddMessages(&b_, "0,PO:-1,SI:nan,EL:1e300"));
    for (int index : {2, 3, 5}) EXPECT_EQ(b_.periods[index], 10) << index;
}

TEST_F(OutputSetupTest, UnknownNameEmptiesTheSlotButKeepsEarlierMessages) {
    ASSERT_TRUE(setup_.AddMessages(&a_, "0,RT"));
    EXPECT_FALSE(setup_.AddMessages(&a_, "0,PO,~X"));
    EXPECT_EQ(setup_.ErrorText(), "ER:Unable message - ~X");
    EXPECT_EQ(setup_.SlotOf(&a_), -1);
    EXPECT_TRUE(a_.mask.test(1));
    EXPECT_EQ(setup_.OutputList(), "jps/RT:{1.0,0,-2},");
    EXPECT_FALSE(setup_.AddMessages(&b_, "0,GGA"));  // a name of another group
    EXPECT_EQ(setup_.ErrorText(), "ER:Unable message - GG");
    EXPECT_FALSE(setup_.AddMessages(&b_, "9,RT"));  // a group without names
    ASSERT_TRUE(setup_.AddMessages(&a_, "0,PO"));
    EXPECT_EQ(setup_.SlotOf(&a_), 0);
    // WL is masked but never listed.
    OutputSetup fresh(table_);
    MessageSubscription wl;
    ASSERT_TRUE(fresh.AddMessages(&wl, "0,WL,RT"));
    EXPECT_TRUE(wl.mask.test(0));
    EXPECT_EQ(fresh.OutputList(), "jps/RT:{1.0,0,-2},");
}

TEST_F(OutputSetupTest, RemovingAGroupLeavesTheOthers) {
    ASSERT_TRUE(setup_.AddMessages(&a_, "0,RT,PO"));
    ASSERT_TRUE(setup_.AddMessages(&a_, "1,CMR"));
    ASSERT_TRUE(setup_.AddMessages(&b_, "0,RT:0.5"));
    ASSERT_TRUE(setup_.RemoveGroup(&a_, kGroupCmr));
    EXPECT_EQ(setup_.OutputList(), "jps/RT:{0.5,0,-2},jps/PO:{1.0,0,-3},");
    EXPECT_TRUE(a_.mask.test(1));
    EXPECT_FALSE(a_.mask.test(6));
    EXPECT_FALSE(setup_.UnionMask().test(6));

    // b leaves: RT stays for a at a's period, in place.
    ASSERT_TRUE(setup_.RemoveGroup(&b_, kGroupAll));
    EXPECT_EQ(setup_.SlotOf(&b_), -1);
    EXPECT_EQ(setup_.OutputList(), "jps/RT:{1.0,0,-2},jps/PO:{1.0,0,-3},");
    EXPECT_EQ(setup_.Period(1), 10);
    ASSERT_TRUE(setup_.RemoveGroup(&a_, kGroupAll));
    EXPECT_EQ(setup_.OutputList(), "");
    EXPECT_TRUE(setup_.UnionMask().none());
    EXPECT_FALSE(setup_.RemoveGroup(&a_, kGroupAll));
    EXPECT_EQ(setup_.ErrorText(), "ER:Unable receiver!");
}

TEST_F(OutputSetupTest, SlotsAndListSizeAreBounded) {
    std::vector<MessageSubscription> many(kOutputSlots + 1);
    for (int i = 0; i < kOutputSlots; ++i) ASSERT_TRUE(setup_.AddMessages(&many[i], "0,RT"));
    EXPECT_FALSE(setup_.AddMessages(&many[kOutputSlots], "0,RT"));
    EXPECT_EQ(setup_.ErrorText(), "ER:Can't find place for messages");

    // Long names make a list past 4099 characters: refused, nothing changed.
    MessageTable big;
    std::string names = "RE{";
    for (int i = 0; i < 60; ++i)
        names += std::string(90, static_cast<char>('A' + i % 26)) + std::to_string(i) +
                 (i < 59 ? "," : "}");
    ASSERT_TRUE(big.Build([&](const char* c, std::string* r) {
        *r = std::string(c) == "list,/msg/jps" ? names : "RE{}";
        return true;
    }));
    OutputSetup setup(big);
    MessageSubscription s;
    std::string request = "0";
    for (int i = 1; i <= 30; ++i) request += "," + big.Entry(i).name;
    ASSERT_TRUE(setup.AddMessages(&s, request));
    std::string list_before = setup.OutputList();
    request = "0";
    for (int i = 31; i <= 60; ++i) request += "," + big.Entry(i).name;
    EXPECT_FALSE(setup.AddMessages(&s, request));
    EXPECT_EQ(setup.OutputList(), list_before);
    EXPECT_LE(setup.OutputList().size(), kMaxOutputList);
    EXPECT_FALSE(s.mask.test(31));
    EXPECT_EQ(setup.SlotOf(&s), 0);
}

}  // namespace
}  // namespace orvana
