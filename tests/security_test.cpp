// The server as an attacker meets it, over real sockets with the simulator as the receiver: what
// a client without a login can reach, access lists, the command guards, long stored texts,
// passwords in the event log and in files, and stores that are damaged, full or read-only.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "core/text.h"
#include "tests/streams_harness.h"
#include "tests/support/namespace_rerun.h"

namespace orvana {
namespace {

namespace fs = std::filesystem;
using test::StreamClient;

constexpr const char* kNotOpen = "ER:User not open!";
constexpr const char* kNotAuthorized = "ER:User not authorized to send this command!";
constexpr const char* kBlocked = "ER:Command blocked";

class Security : public test::StreamsFixture {
  protected:
    void SetUp() override {
        StreamsFixture::SetUp();
        server_.store().WriteFlag("Users\\bob", cfg::kSuperUser.name, false);
    }
    // What the receiver was sent, in lower case.
    std::string SimHeard() const {
        std::string all;
        for (const std::string& line : SimLines()) all += ToLowerAscii(line) + "\n";
        return all;
    }
};

TEST_F(Security, RefusedLoginCannotListOpenAttachOrCommandAndCreatesNoKey) {
    Start();
    StreamClient c;
    ASSERT_TRUE(c.Connect(server_.port()));
    EXPECT_EQ(Text(c.Call("OpenUsr ann wrong tests", 0)), "ER:Incorrect user password.");
    EXPECT_EQ(Text(c.Call("GetRcvList", 0)), kNotOpen);
    EXPECT_EQ(Text(c.Call("OpenRcv Base1", 0)), kNotOpen);
    EXPECT_EQ(Text(c.Call("OpenRcv Base1", 1)), "ER:Unknown receiver #1!");
    EXPECT_EQ(Text(c.Call("Attach 0,RT:0.5", 1)), "ER:Unknown receiver #1!");
    EXPECT_EQ(Text(c.Call("Run anything", 0)), kNotOpen);

    // A session that had logged in has no rights left after a refused login.
    auto ann = Client("ann");
    EXPECT_EQ(Text(ann->Call("OpenUsr ann wrong tests", 0)), "ER:Incorrect user password.");
    EXPECT_EQ(Text(ann->Call("GetRcvList", 0)), kNotOpen);
    EXPECT_EQ(Text(ann->Call("Attach 0,RT:0.5", 1)), kNotOpen);
    EXPECT_EQ(Text(ann->Call("Command print,/par/rcv/model", 1)), kNotOpen);
    EXPECT_EQ(Text(ann->Call("OpenRcv Base1", 2)), kNotOpen);

    c.ReadFor(1500);
    EXPECT_TRUE(c.data().empty());
    EXPECT_TRUE(ann->data().empty());
    EXPECT_EQ(test::CountOf(SimHeard(), "rcv/model"), 0u);
    EXPECT_FALSE(server_.store().KeyExists("Users\\~!"));
}

TEST_F(Security, AccessListGrantsWholeNamesOnly) {
    server_.AddReceiver("xBase1", true, "COM 2");
    server_.AddUser("xu", "secret", 4, "xBase1,Base,Base1x,");
    Start();
    StreamClient c;
    ASSERT_TRUE(c.Connect(server_.port()));
    auto f = c.Call("OpenUsr xu secret", 0);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->code, 2u);
    EXPECT_EQ(Text(c.Call("GetRcvList", 0)), "RE:xBase1,");
    EXPECT_EQ(Text(c.Call("OpenRcv Base1", 1)), "ER:Can't find receiver.");
    EXPECT_EQ(Text(c.Call("Ping Base1", 0)), "ER:Can't find receiver.");
}

TEST_F(Security, GuardsSeeScriptLinesAndUpperCaseAsTheReceiverDoes) {
    Start();
    auto bob = Client("bob");
    for (const char* command : {"@scr\n%1%SET,/par/pos/mode,x\n@end", "%2%Set,/par/pos/mode,x",
                                "@scr\n%3%INIT,/dev/nvm/a\n@end"}) {
        EXPECT_EQ(Text(bob->Call(std::string("Command ") + command)), kNotAuthorized) << command;
    }
    auto ann = Client("ann");
    for (const char* command :
         {"@scr\n%4%DM,/dev/ser/a\n@end", "%5%DM,/DEV/SER/A", "%6%em,/dev/ser/b,jps/RT\n%7%dm,,",
          "@scr\n%8%em,/dev/ser/b,jps/RT\n%9%dm,,\n@end", "%10%set,cur/term/rate,9600"}) {
        EXPECT_EQ(Text(ann->Call(std::string("Command ") + command)), kBlocked) << command;
    }
    const std::string heard = SimHeard();
    EXPECT_EQ(test::CountOf(heard, "pos/mode"), 0u);
    EXPECT_EQ(test::CountOf(heard, "/dev/nvm"), 0u);
    EXPECT_EQ(test::CountOf(heard, "rate,9600"), 0u);
    EXPECT_EQ(test::CountOf(heard, "/dev/ser/b"), 0u);
    // A script of harmless lines still runs.
    auto f = ann->Call("Command @scr\n%11%PRINT,/par/rcv/model\n@end");
    EXPECT_NE(Text(f).find("%11%"), std::string::npos) << Text(f);
}

TEST_F(Security, UntaggedCommandsOnTheServersOwnPortAreBlocked) {
    Start();
    auto ann = Client("ann");
    for (const char* command :
         {"set,/par/cur/term/rate,9600", "set,/par/dev/ser/a/rate,9600",
          "SET,/par/cur/term/rtscts,on", "dm", "dm,/dev/ser/a", "em,,jps/RT:1", " em,/cur/term,RT",
          "print,/par/rcv/model&&set,cur/term/rate,9600"}) {
        EXPECT_EQ(Text(ann->Call(std::string("Command ") + command)), kBlocked) << command;
    }
    EXPECT_EQ(test::CountOf(SimHeard(), "9600"), 0u);
    // Untagged settings of anything else pass the guard even for a plain user (the print gives
    // the command a reply: the empty one to a set carries no length).
    auto bob = Client("bob");
    auto f = bob->Call("Command set,/par/pos/mode,x&&print,/par/rcv/model");
    EXPECT_EQ(Text(f).substr(0, 2), "RE") << Text(f);
    EXPECT_EQ(test::CountOf(SimHeard(), "set,/par/pos/mode,x"), 1u);
}

class SecurityServer : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.AddUser("ann", "s3cret", 4);
        server_.AddReceiver("Base1");
        ASSERT_TRUE(server_.Start());
    }
    test::ServerProcess server_;
};

TEST_F(SecurityServer, ListingsNeedALoginAndARefusedLoginLosesTheSuperUserRight) {
    auto c = server_.Client();
    for (const char* request : {"Get Usr", "Get Usr ann", "Get Rcv", "Get Rcv #", "Get CList"})
        EXPECT_EQ(c->Ask(request), kNotOpen) << request;
    EXPECT_EQ(c->Ask("Set Usr eve/eALL/pw/9/"), kNotAuthorized);
    ASSERT_EQ(c->Ask("OpenUsr ann s3cret"), "RE:OK.");
    EXPECT_EQ(c->Ask("Get Usr"), "RE:ann/e\n");
    EXPECT_EQ(c->Ask("Get Rcv"), "RE:Base1/e\n");
    EXPECT_EQ(c->Ask("OpenUsr ann wrong"), "ER:Incorrect user password.");
    EXPECT_EQ(c->Ask("Set Usr eve/eALL/pw/9/"), kNotAuthorized);
    EXPECT_EQ(c->Ask("Get Usr"), kNotOpen);
    EXPECT_FALSE(server_.store().KeyExists("Users\\eve"));
}

TEST_F(SecurityServer, LongPasswordAndAccessListAreKeptNotReadAsDefaults) {
    auto admin = server_.Client("OpenUsr ann s3cret");
    const std::string password(300, 'p');
    std::string access;
    for (int i = 0; access.size() <= 300; ++i) access += "Other" + std::to_string(i) + ",";
    ASSERT_EQ(admin->Ask("Set Usr long/e" + access + "/" + password + "/4/"), "RE:OK.");

    auto c = server_.Client();
    EXPECT_EQ(c->Ask("OpenUsr long wrong"), "ER:Incorrect user password.");
    EXPECT_EQ(c->Ask("OpenUsr long"), "ER:Incorrect user password.");
    auto f = c->Call("OpenUsr long " + password);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->data, "RE:OK.");
    EXPECT_EQ(c->Ask("GetRcvList"), "RE:");
    EXPECT_EQ(c->Ask("OpenRcv Base1", 1), "ER:Can't find receiver.");
}

TEST_F(SecurityServer, PasswordsStayOutOfTheEventLogAndItsFilesAreTheOwners) {
    auto c = server_.Client();
    EXPECT_EQ(c->Ask("OpenUsr ann wr0ng tests"), "ER:Incorrect user password.");
    EXPECT_EQ(c->Ask("OpenUsr ann s3cret tests"), "RE:OK.");
    // The client itself still gets what it asked for.
    EXPECT_EQ(c->Ask("Get Usr ann"), "RE:ALL/s3cret/4/\n");
    EXPECT_EQ(c->Ask("Set Usr bo/eALL/b0bpw/1/"), "RE:OK.");
    ASSERT_TRUE(server_.WaitForLog("Set Usr bo/eALL/***/1/"));
    const std::string log = server_.LogText();
    EXPECT_EQ(test::CountOf(log, "OpenUsr ann *** tests"), 2u);
    EXPECT_EQ(test::CountOf(log, "RE:ALL/***/4/"), 1u);
    for (const char* secret : {"s3cret", "wr0ng", "b0bpw"})
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;

    size_t checked = 0;
    for (const auto& entry : fs::directory_iterator(server_.home())) {
        const std::string name = entry.path().filename().string();
        if (!name.ends_with(".log") && !name.ends_with(".db")) continue;
        ++checked;
        const auto others = fs::perms::group_all | fs::perms::others_all;
        EXPECT_EQ(entry.status().permissions() & others, fs::perms::none) << name;
    }
    EXPECT_GE(checked, 2u);

    // orvanacli takes the password from the environment, off the command line.
    const std::string port = std::to_string(server_.port());
    auto cli = test::RunProgram("orvanacli", {"--port", port, "--user", "ann", "ping"}, 20000,
                                {"ORVANA_PASSWORD=s3cret"});
    EXPECT_EQ(cli.status, 0) << cli.out << cli.err;
    cli = test::RunProgram("orvanacli", {"--port", port, "--user", "ann", "ping"}, 20000,
                           {"ORVANA_PASSWORD=wr0ng"});
    EXPECT_NE(cli.status, 0) << cli.out;
    EXPECT_NE(cli.out.find("ER:Incorrect user password."), std::string::npos) << cli.out;
}

// Overwrites the last page of a store file with garbage.
void DamageLastPage(const std::string& path) {
    const auto size = fs::file_size(path);
    ASSERT_GT(size, 8192u);
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(size - 4096));
    const std::string garbage(4096, '\x55');
    f.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
}

TEST(SecurityStore, DamagedStoreIsRefusedAndLeftUntouched) {
    test::TempDir dir;
    const std::string path = dir.File("orvanasrv.db");
    {
        std::string reg = "REGEDIT4\r\n\r\n";
        for (int i = 0; i < 300; ++i) {
            reg += "[HKEY_LOCAL_MACHINE\\Software\\Zelmar\\Orvana\\Config\\Main\\Users\\user" +
                   std::to_string(i) + "]\r\n\"Password\"=\"a password long enough to fill pages " +
                   std::to_string(i) + "\"\r\n\r\n";
        }
        test::WriteFile(dir.File("users.reg"), reg);
        auto imported =
            test::RunProgram("orvanacfg", {"--store", path, "import", dir.File("users.reg")});
        ASSERT_EQ(imported.status, 0) << imported.err;
    }
    DamageLastPage(path);
    const std::string before = test::ReadFile(path);

    auto server = test::RunProgram("orvanasrv",
                                   {"--home", dir.path(), "--store", path, "--time-server", "off"});
    EXPECT_NE(server.status, 0);
    EXPECT_NE(server.err.find("the store is damaged"), std::string::npos) << server.err;
    auto exported = test::RunProgram("orvanacfg", {"--store", path, "export"});
    EXPECT_NE(exported.status, 0);
    EXPECT_EQ(exported.out, "");
    EXPECT_NE(exported.err.find("the store is damaged"), std::string::npos) << exported.err;
    EXPECT_EQ(test::ReadFile(path), before);
}

// A 2 MB file system of the test's own at `name` in `dir`; false when none can be mounted.
bool MountSmallDisk(const test::TempDir& dir, const std::string& name, std::string* disk) {
    *disk = dir.File(name);
    fs::create_directories(*disk);
    return test::Shell("mount -t tmpfs -o size=2m tmpfs " + *disk) == 0;
}

// A store and event log on a small file system that fills up, in a mount namespace of its own.
TEST(SecurityStore, WritesToAFullDiskAreReportedNotAnsweredAsSaved) {
    if (test::RerunInNamespace("-rm")) return;
    test::TempDir dir;
    std::string disk;
    if (!MountSmallDisk(dir, "disk", &disk)) GTEST_SKIP() << "cannot mount a file system here";
    test::ServerProcess server(disk);
    server.AddUser("ann", "s3cret", 4);
    ASSERT_TRUE(server.Start());
    auto admin = server.Client("OpenUsr ann s3cret");
    test::Shell("dd if=/dev/zero of=" + disk + "/filler bs=64k 2>/dev/null");

    std::vector<bool> saved;
    for (int i = 0; i < 200; ++i) {
        auto f = admin->Call("Set Usr full" + std::to_string(i) + "/eALL/pw/1/");
        ASSERT_TRUE(f);
        saved.push_back(f->code == 1);
        EXPECT_EQ(f->data, f->code == 1 ? "RE:OK." : "ER:Can't save configuration!");
    }
    EXPECT_GT(std::count(saved.begin(), saved.end(), false), 0);
    EXPECT_EQ(admin->Ask("Ping"), "RE:OK.");
    fs::remove(disk + "/filler");
    for (size_t i = 0; i < saved.size(); ++i) {
        const std::string user = "full" + std::to_string(i);
        EXPECT_EQ(admin->Ask("Get Usr " + user) == "RE:ALL/pw/1/\n", saved[i]) << user;
    }
    server.Stop();
    const std::string err = server.process().Stderr();
    EXPECT_EQ(test::CountOf(err, "its lines wait until it can be written again"), 1u) << err;
}

TEST(SecurityStore, ReadOnlyStoreIsReportedAsSuch) {
    if (test::RerunInNamespace("-rm")) return;
    test::TempDir dir;
    std::string disk;
    if (!MountSmallDisk(dir, "ro", &disk)) GTEST_SKIP() << "cannot mount a file system here";
    const std::string path = disk + "/orvanasrv.db";
    ASSERT_EQ(
        test::RunProgram("orvanacfg", {"--store", path, "set", "Main", "X", "--text", "1"}).status,
        0);
    ASSERT_EQ(test::Shell("mount -o remount,ro " + disk), 0);
    auto server = test::RunProgram("orvanasrv",
                                   {"--home", dir.path(), "--store", path, "--time-server", "off"});
    EXPECT_NE(server.status, 0);
    EXPECT_NE(server.err.find("read-only"), std::string::npos) << server.err;
    EXPECT_EQ(server.err.find("not a configuration store"), std::string::npos) << server.err;
    auto cfg = test::RunProgram("orvanacfg", {"--store", path, "get", "Main", "X"});
    EXPECT_NE(cfg.status, 0);
    EXPECT_NE(cfg.err.find("read-only"), std::string::npos) << cfg.err;
}

}  // namespace
}  // namespace orvana
