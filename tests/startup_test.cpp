// Start-up of the server binary: the defaults written to a fresh store, the configuration named
// by the first word of the command line, a port already in use, and the receiver table limit.

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/server_harness.h"

namespace orvana {
namespace {

using test::ServerProcess;
using test::TempDir;

const std::string kRoot = cfg::kRootKey;

std::optional<std::string> Text(platform::Hive& hive, const std::string& key,
                                const std::string& name) {
    auto v = hive.GetValue(key, name);
    if (!v || v->type != platform::HiveValue::Type::Text) return std::nullopt;
    return v->text;
}
std::optional<uint32_t> Number(platform::Hive& hive, const std::string& key,
                               const std::string& name) {
    auto v = hive.GetValue(key, name);
    if (!v || v->type != platform::HiveValue::Type::Number) return std::nullopt;
    return v->number;
}

// Reads standard output and standard error until one of them holds its needle; which one did.
enum class Came { Out, Err, Nothing };
Came WaitForEither(platform::Subprocess& p, const std::string& out, const std::string& err,
                   uint32_t ms) {
    const uint32_t start = platform::TickCount();
    std::string errors;
    while (platform::TickCount() - start < ms) {
        if (p.StdoutSoFar().find(out) != std::string::npos) return Came::Out;
        errors += p.Stderr();
        if (errors.find(err) != std::string::npos) return Came::Err;
        p.ReadLine(50);
    }
    return Came::Nothing;
}

TEST(StartUp, FreshStoreGetsTheBasicSettings) {
    TempDir home;
    platform::Subprocess server;
    std::string error;
    ASSERT_TRUE(server.Start({test::ProgramPath("orvanasrv"), "--headless", "--home", home.path(),
                              "--time-server", "off"},
                             &error, {"ORVANA_BIND_RETRY_MS=0"}))
        << error;
    // The fresh store says port 8000 on every address; another program may hold that port, and
    // then the server ends at once. Either way it has been through start-up.
    Came came =
        WaitForEither(server, "Listening on 0.0.0.0:8000", "Bind WinSock reply 10048", 10000);
    ASSERT_NE(came, Came::Nothing) << server.StdoutSoFar() << server.Stderr();
    if (came == Came::Out) {
        ASSERT_TRUE(server.Signal(15));
    }
    ASSERT_EQ(server.Wait(15000), came == Came::Out ? 0 : 1);

    auto hive = platform::Hive::Open(home.File("orvanasrv.db"), &error);
    ASSERT_TRUE(hive) << error;
    const std::string main = kRoot + "Main\\";
    EXPECT_EQ(Text(*hive, kRoot, "CurrentConfig"), "Main");
    EXPECT_EQ(Number(*hive, kRoot, "LogFile"), 0u);
    EXPECT_EQ(Text(*hive, main, "IPAdress"), "0.0.0.0");
    EXPECT_EQ(Text(*hive, main, "PortServer"), "8000");
    EXPECT_EQ(Text(*hive, main, "PathToServer"), home.File("orvanasrv"));
    EXPECT_EQ(Text(*hive, main, "Scripts"), home.File("Scripts/"));
    EXPECT_TRUE(std::filesystem::is_directory(home.File("Scripts")));
    EXPECT_EQ(Text(*hive, main, "Version"), cfg::kVersionText);
    EXPECT_EQ(Number(*hive, main, "TimeKillLog"), 0u);
}

TEST(StartUp, SettingsPresentInTheStoreAreKept) {
    ServerProcess server;
    server.store().WriteText(cfg::kActiveKey, "IPAdress", "127.0.0.1");
    server.store().WriteText(cfg::kActiveKey, "Scripts", "/nowhere/scripts/");
    server.store().AtRoot().WriteNumber(cfg::kActiveKey, "LogFile", 3);
    ASSERT_TRUE(server.Start());
    EXPECT_NE(server.process().StdoutSoFar().find("Listening on 127.0.0.1:"), std::string::npos);
    ASSERT_EQ(server.Stop(), 0);
    EXPECT_EQ(server.store().ReadText(cfg::kActiveKey, "Scripts", ""), "/nowhere/scripts/");
    EXPECT_EQ(server.store().ReadText(cfg::kActiveKey, "PortServer", ""), "0");
    EXPECT_EQ(server.store().AtRoot().ReadNumber(cfg::kActiveKey, "LogFile", 99), 3u);
    EXPECT_FALSE(std::filesystem::exists("/nowhere/scripts"));
}

class ConfigurationWord : public ::testing::Test {
  protected:
    ConfigurationWord() {
        // "Main" cannot listen, so a server that used it would never say where it listens.
        server_.store().WriteText(cfg::kActiveKey, "IPAdress", "no-address");
        hive().SetText(station_, "PortServer", "0");
        hive().SetText(station_, "IPAdress", "127.0.0.1");
    }
    platform::Hive& hive() { return server_.store().hive(); }
    void ExpectServedFromStation2() {
        ASSERT_EQ(server_.Stop(), 0);
        EXPECT_EQ(Text(hive(), station_, "PathToServer"), server_.home() + "/orvanasrv");
        EXPECT_FALSE(Text(hive(), kRoot + "Main\\", "PathToServer"));
        EXPECT_EQ(Text(hive(), kRoot + "Main\\", "IPAdress"), "no-address");
    }
    ServerProcess server_;
    const std::string station_ = kRoot + "Station2\\";
};

TEST_F(ConfigurationWord, FirstWordOfACommandLineOfBlanksAndWords) {
    ASSERT_TRUE(server_.Start({}, {"   Station2   ", "  other  words "}));
    EXPECT_NE(server_.process().StdoutSoFar().find("Listening on 127.0.0.1:"), std::string::npos);
    EXPECT_EQ(server_.Client()->Ask("Ping"), "RE:OK.");
    ExpectServedFromStation2();
    // A word on the command line is not made the current configuration.
    EXPECT_FALSE(Text(hive(), kRoot, "CurrentConfig"));
}

TEST_F(ConfigurationWord, WithoutAWordCurrentConfigNamesIt) {
    hive().SetText(kRoot, "CurrentConfig", "Station2");
    ASSERT_TRUE(server_.Start({}, {"   "}));
    ExpectServedFromStation2();
    EXPECT_EQ(Text(hive(), kRoot, "CurrentConfig"), "Station2");
}

TEST(StartUp, PortInUseIsTriedAgainThenTheServerEndsWithTheErrorNeverDeaf) {
    ServerProcess first;
    ASSERT_TRUE(first.Start());
    const std::string port = std::to_string(first.port());
    ServerProcess second;
    second.store().WriteText(cfg::kActiveKey, "PortServer", port);
    ASSERT_TRUE(second.Launch({"ORVANA_BIND_RETRY_MS=1500"}));
    const std::string report =
        std::string("ER:") + cfg::kVersionText + "\tfrom Bind WinSock reply 10048";
    ASSERT_EQ(second.process().Wait(15000), 1);
    EXPECT_NE(second.process().Stderr().find(report), std::string::npos);
    const std::string log = second.LogText();
    EXPECT_EQ(test::CountOf(log, report), 1u) << log;
    EXPECT_NE(log.find("ER:No listening socket on 0.0.0.0:" + port), std::string::npos);
    EXPECT_EQ(log.find("Ping thread started"), std::string::npos);
    EXPECT_EQ(first.Client()->Ask("Ping"), "RE:OK.");

    // A port that is given up while the server tries is taken.
    ServerProcess third;
    third.store().WriteText(cfg::kActiveKey, "PortServer", port);
    ASSERT_TRUE(third.Launch({"ORVANA_BIND_RETRY_MS=30000"}));
    ASSERT_TRUE(third.WaitForLog(report));
    ASSERT_EQ(first.Stop(), 0);
    ASSERT_TRUE(third.process().WaitForLine("Listening on", 10000));
    test::TestClient client;
    ASSERT_TRUE(client.Connect(static_cast<uint16_t>(std::stoul(port))));
    EXPECT_EQ(client.Ask("Ping"), "RE:OK.");
}

TEST(StartUp, UnknownOptionsAreRefusedAndVersionIsPrinted) {
    TempDir home;
    auto r = test::RunProgram("orvanasrv", {"--hoem", home.path()});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown option --hoem"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("usage: orvanasrv"), std::string::npos) << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(home.path()));
    r = test::RunProgram("orvanasrv", {"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("orvanasrv ") + cfg::kVersionText + "\n");
}

TEST(StartUp, RestartRightAfterAKillWithAClientConnectedAnswers) {
    ServerProcess server;
    server.AddUser("ann", "pw", 4);
    ASSERT_TRUE(server.Start());
    const uint16_t port = server.port();
    auto client = server.Client("OpenUsr ann pw");
    ASSERT_TRUE(server.process().Signal(9));
    ASSERT_TRUE(server.process().Wait(5000));
    server.store().WriteText(cfg::kActiveKey, cfg::kPortServer.name, std::to_string(port));
    ASSERT_TRUE(server.Start({"ORVANA_BIND_RETRY_MS=0"})) << server.process().Stderr();
    EXPECT_EQ(server.port(), port);
    EXPECT_EQ(server.Client("OpenUsr ann pw")->Ask("Ping"), "RE:OK.");
}

TEST(Signals, SighupReloadsReceiversAndTheLogFileAndTheServerStaysUp) {
    ServerProcess server;
    server.AddUser("ann", "pw", 4);
    server.AddReceiver("north", true, "COM 1");
    server.AddReceiver("south", false, "COM 2");
    ASSERT_TRUE(server.Start());
    auto ann = server.Client("OpenUsr ann pw");
    EXPECT_EQ(ann->Ask("GetRcvList"), "RE:north,");

    // The operator changes the store, and moves the log away as log rotation does.
    server.store().WriteFlag(std::string(cfg::kReceiversKey) + "south", cfg::kEnableRcv.name, true);
    server.store().WriteFlag(std::string(cfg::kReceiversKey) + "north", cfg::kEnableRcv.name,
                             false);
    std::vector<std::string> logs;
    for (const auto& e : std::filesystem::directory_iterator(server.home()))
        if (e.path().extension() == ".log") logs.push_back(e.path().string());
    ASSERT_EQ(logs.size(), 1u);
    std::filesystem::rename(logs[0], logs[0] + ".1");
    ASSERT_TRUE(server.process().Signal(1));
    EXPECT_TRUE(test::WaitUntil([&] { return std::filesystem::exists(logs[0]); }));
    EXPECT_TRUE(server.WaitForLog("Reload: receivers +south -north")) << server.LogText();
    // The client hears of both changes, then sees the new list.
    std::vector<std::string> notices;
    for (int i = 0; i < 2; ++i)
        if (auto f = ann->ReadFrame()) notices.push_back(f->data);
    EXPECT_EQ(notices, (std::vector<std::string>{"RS:north,0", "RS:south,1"}));
    EXPECT_EQ(ann->Ask("GetRcvList"), "RE:south,");
    ASSERT_TRUE(server.process().Signal(1));
    EXPECT_TRUE(server.WaitForLog("Reload: receivers unchanged"));
    EXPECT_EQ(server.Client("OpenUsr ann pw")->Ask("Ping"), "RE:OK.");
    EXPECT_EQ(server.Stop(), 0);
}

class ReceiverTable : public ::testing::Test {
  protected:
    static std::string Name(int i) {
        char n[8];
        std::snprintf(n, sizeof n, "R%02d", i);
        return n;
    }
    ServerProcess server_;
};

// The server ends by itself, before opening its listener.
TEST(ReceiverTableLimit, MoreThan64EnabledOrAnyFurtherAfterThe64thEndTheProcess) {
    for (bool further_disabled : {false, true}) {
        ServerProcess server;
        for (int i = 1; i <= 64; ++i) server.AddReceiver("R" + std::to_string(100 + i));
        server.AddReceiver("Z-last", !further_disabled);
        ASSERT_TRUE(server.Launch());
        EXPECT_TRUE(server.process().Wait(10000)) << "still running";
        EXPECT_EQ(server.process().StdoutSoFar().find("Listening on"), std::string::npos);
        EXPECT_EQ(server.LogText().find("Ping thread started"), std::string::npos);
    }
}

TEST_F(ReceiverTable, SixtyFourEnabledAmongDisabledOnesAreServed) {
    server_.AddReceiver("A-disabled", false);
    for (int i = 1; i <= 64; ++i) server_.AddReceiver(Name(i));
    server_.AddUser("ann", "pw");
    ASSERT_TRUE(server_.Start());
    auto c = server_.Client();
    auto f = c->Call("OpenUsr ann pw");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->code, 65u);
    f = c->Call("GetRcvList");
    ASSERT_TRUE(f);
    EXPECT_TRUE(f->data.starts_with("RE:R01,R02,")) << f->data;
    EXPECT_TRUE(f->data.ends_with(",R63,R64,")) << f->data;
}

TEST_F(ReceiverTable, ANameLongerThan63CharactersEndsTheTable) {
    server_.AddReceiver("Alpha");
    server_.AddReceiver("B" + std::string(63, 'x'));
    server_.AddReceiver("Charlie");
    server_.AddUser("ann", "pw");
    ASSERT_TRUE(server_.Start());
    auto c = server_.Client();
    EXPECT_EQ(c->Call("OpenUsr ann pw")->code, 2u);
    EXPECT_EQ(c->Ask("GetRcvList"), "RE:Alpha,");
}

}  // namespace
}  // namespace orvana
