// The statistics file of the running server: one 180-byte record per login, completed with the
// exit line when the session ends, between the banners of each run.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <regex>

#include "tests/server_harness.h"

namespace orvana {
namespace {

using test::ServerProcess;
using test::TestClient;

constexpr size_t kRecord = 180;
const std::regex kStamp(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d )");

std::string StatisticsFile(const ServerProcess& server) {
    return server.home() + "/orvanasrv.sta";
}

// Reads the file until `ready` holds for its content (bounded); the content.
std::string ReadWhen(const std::string& path,
                     const std::function<bool(const std::string&)>& ready) {
    std::string text;
    test::WaitUntil([&] { return ready(text = test::ReadFile(path)); });
    return text;
}
std::string ReadWhenSized(const std::string& path, size_t size) {
    return ReadWhen(path, [size](const std::string& t) { return t.size() >= size; });
}
std::string ReadWhenHolding(const std::string& path, const std::string& needle, size_t from = 0) {
    return ReadWhen(path, [&](const std::string& t) { return t.find(needle, from) != t.npos; });
}

bool IsStamp(const std::string& s) {
    return s.size() == 20 && std::regex_match(s, kStamp);
}

const std::string kStartHead = "\r\n**** Start Statistics ";

// Checks the banner at `at`, `head` STAMP " ****\r\n\r\n"; its size.
size_t ExpectBanner(const std::string& file, size_t at, const std::string& head = kStartHead) {
    const std::string tail = " ****\r\n\r\n";
    const size_t size = head.size() + 20 + tail.size();
    if (file.size() < at + size) {
        ADD_FAILURE() << "no banner at " << at << " in \"" << file << "\"";
        return size;
    }
    const std::string b = file.substr(at, size);
    EXPECT_EQ(b.substr(0, head.size()), head);
    EXPECT_TRUE(IsStamp(b.substr(head.size(), 20))) << b;
    EXPECT_EQ(b.substr(head.size() + 20), tail);
    return size;
}

std::string LoginLine(unsigned number, const std::string& user, const TestClient& c,
                      const std::string& task) {
    char n[8];
    std::snprintf(n, sizeof n, "%03u", number);
    return std::string(n) + " Login User = " + user + "/127.0.0.1:" +
           std::to_string(const_cast<TestClient&>(c).socket().LocalEndpoint().port) +
           " Task = " + task;
}

// Checks one record: the login line, optionally the exit line on the next, blanks, the end.
void ExpectRecord(const std::string& record, const std::string& login, const std::string& exit) {
    ASSERT_EQ(record.size(), kRecord);
    EXPECT_TRUE(IsStamp(record.substr(0, 20))) << record;
    size_t at = 20;
    EXPECT_EQ(record.substr(at, login.size() + 2), login + "\r\n") << record;
    at += login.size() + 2;
    if (!exit.empty()) {
        EXPECT_TRUE(IsStamp(record.substr(at, 20))) << record;
        at += 20;
        EXPECT_EQ(record.substr(at, exit.size()), exit) << record;
        at += exit.size();
    }
    EXPECT_EQ(record.substr(at, 176 - at), std::string(176 - at, ' ')) << record;
    EXPECT_EQ(record.substr(176), "\r\n\r\n");
}

const std::string kQuietExit = "     Exit  Send = 0 Rcv = 1 Error = 0";

class StatisticsRecords : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.AddUser("ann", "pw", 5);
        server_.AddUser("bob", "pw", 5);
        ASSERT_TRUE(server_.Start());
    }
    std::unique_ptr<TestClient> LoggedIn(const std::string& request) {
        return server_.Client(request);
    }
    ServerProcess server_;
};

TEST_F(StatisticsRecords, LoginAppendsARecordThatCloseUsrOrABrokenConnectionCompletes) {
    const std::string path = StatisticsFile(server_);
    const size_t banner = ExpectBanner(ReadWhenSized(path, 1), 0);
    // A refused login writes no record.
    auto refused = server_.Client();
    EXPECT_EQ(refused->Ask("OpenUsr ann wrong"), "ER:Incorrect user password.");
    ASSERT_TRUE(refused->Call("CloseUsr"));
    ASSERT_TRUE(server_.WaitForLog("thread terminated"));
    EXPECT_EQ(test::ReadFile(path).size(), banner);

    auto ann = LoggedIn("OpenUsr ann pw field crew");
    std::string file = ReadWhenSized(path, banner + kRecord);
    ASSERT_EQ(file.size(), banner + kRecord);
    const std::string login = LoginLine(1, "ann", *ann, "field crew");
    ExpectRecord(file.substr(banner), login, "");
    EXPECT_EQ(ann->Ask("CloseUsr"), "RE:OK.");
    file = ReadWhenHolding(path, "Exit");
    ASSERT_EQ(file.size(), banner + kRecord);  // completed in place, nothing appended
    ExpectRecord(file.substr(banner), login, kQuietExit);

    auto bob = LoggedIn("OpenUsr bob pw");
    const std::string bob_login = LoginLine(2, "bob", *bob, "");
    bob.reset();  // closes the socket without CloseUsr
    file = ReadWhenHolding(path, "Exit", banner + kRecord);
    ExpectRecord(file.substr(banner + kRecord), bob_login, kQuietExit);
}

TEST_F(StatisticsRecords, EachExitCompletesItsOwnSessionsRecord) {
    const std::string path = StatisticsFile(server_);
    const size_t banner = ExpectBanner(ReadWhenSized(path, 1), 0);
    auto ann = LoggedIn("OpenUsr ann pw one");
    ReadWhenSized(path, banner + kRecord);
    auto bob = LoggedIn("OpenUsr bob pw two");
    ReadWhenSized(path, banner + 2 * kRecord);
    const std::string ann_login = LoginLine(1, "ann", *ann, "one");
    const std::string bob_login = LoginLine(2, "bob", *bob, "two");

    ASSERT_TRUE(bob->Call("CloseUsr"));
    std::string file = ReadWhenHolding(path, "Exit");
    ASSERT_EQ(file.size(), banner + 2 * kRecord);
    ExpectRecord(file.substr(banner, kRecord), ann_login, "");
    ExpectRecord(file.substr(banner + kRecord), bob_login, kQuietExit);

    ASSERT_TRUE(ann->Call("CloseUsr"));
    file = ReadWhen(path, [&](const std::string& t) {
        return t.substr(banner, kRecord).find("Exit") != std::string::npos;
    });
    ExpectRecord(file.substr(banner, kRecord), ann_login, kQuietExit);
    ExpectRecord(file.substr(banner + kRecord), bob_login, kQuietExit);
}

TEST(StatisticsRuns, StopBannerEndsARunAndTheNextRunsRecordsStandApart) {
    ServerProcess server;
    server.AddUser("ann", "pw", 5);
    const std::string path = StatisticsFile(server);
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.Client("OpenUsr ann pw first")->Call("CloseUsr"));
    ReadWhenHolding(path, "Exit");
    ASSERT_EQ(server.Stop(), 0);
    std::string file = test::ReadFile(path);
    const size_t banner = ExpectBanner(file, 0);
    EXPECT_EQ(file.size(),
              banner + kRecord + ExpectBanner(file, banner + kRecord, "**** Stop Statistics "));
    const std::string first_run = file;

    // The next run numbers its logins from 1 again; its exit must not touch the old record.
    ASSERT_TRUE(server.Start());
    TestClient c;
    ASSERT_TRUE(c.Connect(server.port()));
    ASSERT_EQ(c.Call("OpenUsr ann pw second")->data, "RE:OK.");
    const std::string login = LoginLine(1, "ann", c, "second");
    const size_t second_banner =
        ExpectBanner(ReadWhenSized(path, first_run.size() + 1), first_run.size());
    const size_t record_at = first_run.size() + second_banner;
    ReadWhenSized(path, record_at + kRecord);
    ASSERT_TRUE(c.Call("CloseUsr"));
    file = ReadWhenHolding(path, "Exit", record_at);
    EXPECT_EQ(file.substr(0, first_run.size()), first_run);
    ASSERT_EQ(file.size(), record_at + kRecord);
    ExpectRecord(file.substr(record_at), login, kQuietExit);
}

}  // namespace
}  // namespace orvana
