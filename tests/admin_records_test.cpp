// Get and Set records against a real store file.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "admin/admin_requests.h"
#include "platform/clock.h"
#include "platform/port_folder.h"
#include "tests/support/temp_store.h"

namespace orvana::admin {
namespace {

class AdminRecordsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ctx_.store = &store_;
        ctx_.super_user = true;
        ctx_.reply = &reply_;
        ctx_.announced_columns = &announced_;
    }
    unsigned Get(std::string_view arg) {
        reply_ = "RE:OK.";
        return HandleGet(arg, ctx_);
    }
    unsigned Set(std::string_view arg) {
        reply_ = "RE:OK.";
        return HandleSet(arg, ctx_);
    }
    std::string Value(const std::string& key, const char* name) {
        auto v = hive_.GetValue(store_.BaseKey() + key, name);
        if (!v) return "<missing>";
        return v->type == platform::HiveValue::Type::Number ? "#" + std::to_string(v->number)
                                                            : v->text;
    }

    test::TempStore db_;
    platform::Hive& hive_ = *db_.hive;
    ConfigStore& store_ = *db_.store;
    std::string reply_;
    std::atomic<uint32_t> announced_{0};
    AdminContext ctx_;
};

TEST_F(AdminRecordsTest, ReceiverListInStoreOrder) {
    EXPECT_EQ(Get("Rcv"), 1u);
    EXPECT_EQ(reply_, "RE:");  // no receivers key yet
    store_.WriteFlag("Receivers\\B", "EnableRcv", false);
    store_.WriteFlag("Receivers\\a", "EnableRcv", true);
    store_.WriteText("Receivers\\C", "Interface", "COM 2");  // no flag: disabled
    store_.WriteText("Receivers\\d", "EnableRcv", "yes");
    EXPECT_EQ(Get("Rcv"), 1u);
    EXPECT_EQ(reply_, "RE:a/e\nB/d\nC/d\nd/d\n");
    // Blanks after the kind are skipped; letters right after it still select the kind.
    EXPECT_EQ(Get("Rcv   "), 1u);
    EXPECT_EQ(reply_, "RE:a/e\nB/d\nC/d\nd/d\n");
    ctx_.super_user = false;  // the list is open to every user
    EXPECT_EQ(Get("Rcv"), 1u);
    EXPECT_EQ(reply_, "RE:a/e\nB/d\nC/d\nd/d\n");
}

TEST_F(AdminRecordsTest, ReceiverRecordsByInterfaceKind) {
    store_.WriteText("Receivers\\roof", "Interface", "COM 3");
    store_.WriteText("Receivers\\roof", "Comment", "roof");
    store_.WriteText("Receivers\\roof", "PointName", "P1");
    store_.WriteText("Interface\\COM 3", "Speed", "115200");
    store_.WriteNumber("Interface\\COM 3", "RTSCTS", 1);
    EXPECT_EQ(Get("Rcv roof"), 1u);
    EXPECT_EQ(reply_, "RE:COM 3/115200/1/roof/P1");

    store_.WriteText("Receivers\\mast", "Interface", "TCP 10.0.0.7:8002");
    store_.WriteText("Interface\\TCP 10.0.0.7:8002", "Password", "s3cret");
    store_.WriteText("Interface\\TCP 10.0.0.7:8002", "USEFTP", "1");
    EXPECT_EQ(Get("Rcv mast"), 1u);
    EXPECT_EQ(reply_, "RE:TCP 10.0.0.7:8002/s3cret/1//Unknown");

    store_.WriteText("Receivers\\far", "Interface", "GATE 10.0.0.9");
    store_.WriteText("Receivers\\far", "Comment", "via gate");
    EXPECT_EQ(Get("Rcv far"), 1u);
    EXPECT_EQ(reply_, "RE:GATE 10.0.0.9//Guest/None/,/via gate/Unknown");

    store_.WriteText("Receivers\\usb", "Interface", "USB 1");
    EXPECT_EQ(Get("Rcv usb"), 1u);
    EXPECT_EQ(reply_, "RE:USB 1///Unknown");

    EXPECT_EQ(Get("Rcv ROOF"), 0u);  // names match exactly
    EXPECT_EQ(reply_, "ER:Receiver not found!");
    EXPECT_EQ(Get("Rcv nowhere"), 0u);
    EXPECT_EQ(reply_, "ER:Receiver not found!");
}

TEST_F(AdminRecordsTest, SetReceiverWritesKindPartThenRecord) {
    EXPECT_EQ(Set("Rcv base/eCOM 4/57600/0/,north roof/P7/30/10/x/y/z/ANT1/0.1/"), 1u);
    EXPECT_EQ(reply_, "RE:OK.");
    EXPECT_EQ(Value("Receivers\\base", "EnableRcv"), "1");
    EXPECT_EQ(Value("Receivers\\base", "Interface"), "COM 4");
    EXPECT_EQ(Value("Receivers\\base", "Comment"), "north roof");
    EXPECT_EQ(Value("Receivers\\base", "RecInterval"), "30");
    EXPECT_EQ(Value("Receivers\\base", "ElevationMask"), "10");
    EXPECT_EQ(Value("Receivers\\base", "AntType"), "ANT1");
    EXPECT_EQ(Value("Receivers\\base", "Radius"), "0.1");
    EXPECT_EQ(Value("Interface\\COM 4", "Speed"), "57600");
    EXPECT_EQ(Value("Interface\\COM 4", "RTSCTS"), "0");  // kept as written
    // ...and read back through the record, as a number.
    EXPECT_EQ(Get("Rcv base"), 1u);
    EXPECT_EQ(reply_, "RE:COM 4/57600/0/north roof/P7");

    EXPECT_EQ(Set("Rcv tcp/dTCP 10.0.0.5/8003/0/,c/p/1/2/3/4/5/6/7/"), 1u);
    EXPECT_EQ(Value("Interface\\TCP 10.0.0.5", "Port"), "8003");
    EXPECT_EQ(Value("Interface\\TCP 10.0.0.5", "CheckLogin"), "0");
    EXPECT_EQ(Value("Receivers\\tcp", "EnableRcv"), "0");
    EXPECT_EQ(store_.ReadNumber("Interface\\TCP 10.0.0.5", cfg::kPort), 8003u);
    EXPECT_FALSE(store_.ReadFlag("Interface\\TCP 10.0.0.5", cfg::kCheckLogin));
}

TEST_F(AdminRecordsTest, SetReceiverRefusesBrokenRecords) {
    EXPECT_EQ(Set("Rcv bad/xCOM 5/9600/1/,c/p/1/2/3/4/5/6/7/"), 0u);
    EXPECT_EQ(reply_, "RE:OK.");  // the result tells, the text stays
    EXPECT_FALSE(store_.KeyExists("Receivers\\bad"));
    EXPECT_FALSE(store_.KeyExists("Interface\\COM 5"));

    EXPECT_EQ(Set("Rcv half/eCOM 6/19200/1/,only/three/fields/"), 0u);
    EXPECT_EQ(Value("Interface\\COM 6", "Speed"), "19200");
    EXPECT_EQ(Value("Interface\\COM 6", "RTSCTS"), "1");
    EXPECT_FALSE(store_.KeyExists("Receivers\\half"));

    EXPECT_EQ(Set("Rcv noslash"), 0u);
    EXPECT_EQ(Set("Rcv x/eGATE h/onlyone"), 0u);
    EXPECT_FALSE(store_.KeyExists("Interface\\GATE h"));
    EXPECT_EQ(Set("Rcv "), 0u);
}

TEST_F(AdminRecordsTest, UserRecordsRoundTrip) {
    EXPECT_EQ(Set("Usr Ann/eALL/pw/2/"), 1u);
    EXPECT_EQ(Set("Usr bob/dbase,roof,/x/70000/"), 1u);
    EXPECT_EQ(Get("Usr"), 1u);
    EXPECT_EQ(reply_, "RE:Ann/e\nbob/d\n");
    EXPECT_EQ(Get("Usr Ann"), 1u);
    EXPECT_EQ(reply_, "RE:ALL/pw/2/\n");
    EXPECT_EQ(Get("Usr bob"), 1u);
    EXPECT_EQ(reply_, "RE:base,roof,/x/4464/\n");  // 70000 kept to 16 bits
    // The Get record with the name and flag in front sets the same values again.
    EXPECT_EQ(Set("Usr bob/d" + reply_.substr(3, reply_.size() - 4)), 1u);
    EXPECT_EQ(Get("Usr bob"), 1u);
    EXPECT_EQ(reply_, "RE:base,roof,/x/4464/\n");

    EXPECT_EQ(Get("Usr ann"), 0u);
    EXPECT_EQ(reply_, "ER:Can't find user");
    EXPECT_EQ(Set("Usr carl/eALL/pw/"), 0u);
    EXPECT_FALSE(store_.KeyExists("Users\\carl"));
    EXPECT_EQ(Set("Usr carl/ALL/pw/1/"), 0u);
    EXPECT_FALSE(store_.KeyExists("Users\\carl"));
}

TEST_F(AdminRecordsTest, OnlySuperUsersWriteOrReadSecrets) {
    store_.WriteText("Receivers\\mast", "Interface", "TCP 10.0.0.7");
    store_.WriteText("Users\\Ann", "Password", "pw");
    ctx_.super_user = false;
    for (const char* req : {"Rcv mast", "Usr Ann"}) {
        EXPECT_EQ(Get(req), 0u) << req;
        EXPECT_EQ(reply_, kNotAuthorized) << req;
    }
    for (const char* req : {"Usr Ann/eALL/new/9/", "Rcv mast/eTCP 1.2.3.4/1/1/,a/b/c/d/e/f/g/h/i/",
                            "CList", "LFile"}) {
        EXPECT_EQ(Set(req), 0u) << req;
        EXPECT_EQ(reply_, kNotAuthorized) << req;
    }
    EXPECT_EQ(Value("Users\\Ann", "Password"), "pw");
    EXPECT_EQ(Value("Receivers\\mast", "Interface"), "TCP 10.0.0.7");
    EXPECT_EQ(Get("Usr"), 1u);
    EXPECT_EQ(Get("CList"), 1u);
}

TEST_F(AdminRecordsTest, KindsAndTheirFallbacks) {
    EXPECT_EQ(Get("Nothing"), 0u);
    EXPECT_EQ(reply_, "ER:Unknown type request.");
    EXPECT_EQ(Set("rcv x/eCOM 1/"), 0u);  // kinds are case-sensitive
    EXPECT_EQ(reply_, "ER:Unknown type request.");
    EXPECT_EQ(Get("LFile whatever"), 1u);
    EXPECT_EQ(reply_, "RE:OK.");
    EXPECT_EQ(Set("CList"), 1u);
    EXPECT_EQ(Set("LFile x"), 1u);
}

TEST_F(AdminRecordsTest, ConnectionListNeedsTheHeaderFirst) {
    std::vector<ConnectionRow> rows(2);
    rows[0] = {std::time_t(0), 1234, "roof", "ann", "rtk", "10.0.0.2", "COM 3", "jps/RT 1.0", "", 0, 0, ""};
    rows[1] = {std::time_t(86400 * 40), 0, "mast", "bob", "", "127.0.0.1", "TCP 1.2.3.4", "", "", 0, 0, ""};
    ctx_.connections = [&] { return rows; };
    EXPECT_EQ(Get("CList F"), 0u);
    EXPECT_EQ(reply_, "ER:syntax error");
    EXPECT_EQ(Get("CList"), 1u);
    EXPECT_EQ(reply_,
              "RE:Date Start/16,Send/8,Receiver/9,User/11,Task/11,Address/14,Interface/13,"
              "Messages/40");
    EXPECT_EQ(announced_.load(), 0xFFu);

    EXPECT_EQ(Get("CList 0"), 1u);
    EXPECT_EQ(reply_, "RE:\n");  // one empty row per attachment
    EXPECT_EQ(Get("CList E"), 1u);
    EXPECT_EQ(reply_, "RE:1234/roof/ann/\n0/mast/bob/");
    EXPECT_EQ(Get("CList 1"), 1u);
    auto t = platform::ToLocal(0);
    char expected[64];
    std::snprintf(expected, sizeof expected, "RE:%02d/%02d  %02d:%02d:%02d/", t.day, t.month,
                  t.hour, t.minute, t.second);
    EXPECT_EQ(reply_.substr(0, std::strlen(expected)), expected);
    // Two digits reach the wider columns, in header order after the first four.
    EXPECT_EQ(Get("CList F0"), 1u);
    EXPECT_EQ(reply_, "RE:rtk/10.0.0.2/COM 3/jps/RT 1.0/\n/127.0.0.1/TCP 1.2.3.4//");
    EXPECT_EQ(Get("CList  C"), 1u);
    EXPECT_EQ(reply_, "RE:roof/ann/\nmast/bob/");
    EXPECT_EQ(Get("CList z"), 1u);  // no digit: the mask 0
    EXPECT_EQ(reply_, "RE:\n");
}

TEST_F(AdminRecordsTest, PortInventoryFromThePortsFolder) {
    std::string ports = db_.dir.File("ports");
    ASSERT_EQ(mkdir(ports.c_str(), 0755), 0);
    for (const char* n : {"COM3", "COM1", "COM10", "notes", "COMx"})
        ASSERT_EQ(symlink("/dev/null", (ports + "/" + n).c_str()), 0);
    ctx_.serial_ports = [&] { return platform::ListComPorts(ports); };
    EXPECT_EQ(Get("Rcv #"), 1u);
    EXPECT_EQ(reply_,
              "RE:COM{COM 1/COM 3/COM 10}SPEED{115200/921600/460800/230400/57600/38400/19200/9600}"
              "USB{}");
    ctx_.usb_paths = [] {
        return std::vector<std::string>{"\\\\?\\usb#vid_1234&pid_0001#AB12345678901#{guid}",
                                        "short#x", "\\\\?\\usb-without-hash-at-all"};
    };
    EXPECT_EQ(Get("Rcv#"), 1u);
    EXPECT_NE(reply_.find("USB{AB123456789}"), std::string::npos) << reply_;
}

}  // namespace
}  // namespace orvana::admin
