// The configuration store on a real SQLite file: the registry semantics later code relies on.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/env.h"
#include "tests/support/fault_env.h"
#include "tests/support/temp_store.h"

namespace orvana {
namespace {

using platform::Hive;
using platform::HiveValue;

class StoreTest : public ::testing::Test {
  protected:
    test::TempStore db_{"store.db"};
    Hive& hive_ = *db_.hive;
    ConfigStore& store_ = *db_.store;
};

TEST_F(StoreTest, FlagIsTrueOnlyForTheTextOne) {
    for (const char* text : {"yes", "true", "TRUE", " 1", "1 ", "01", ""}) {
        store_.WriteText("Users\\ann", "EnableUser", text);
        EXPECT_FALSE(store_.ReadFlag("Users\\ann", cfg::kEnableUser)) << "'" << text << "'";
        EXPECT_FALSE(store_.ReadFlag("Users\\ann", "EnableUser", true)) << "'" << text << "'";
    }
    store_.WriteFlag("Users\\ann", "EnableUser", true);
    EXPECT_EQ(store_.ReadText("Users\\ann", "EnableUser", "?"), "1");
    EXPECT_TRUE(store_.ReadFlag("Users\\ann", cfg::kEnableUser));
}

TEST_F(StoreTest, ReadOnlyFormNeverCreatesTheCreatingFormMakesOnlyTheKey) {
    store_.WriteText("Users\\ann", "Password", "x");
    EXPECT_EQ(store_.ReadText("Users\\ann", "HomeDirectory", "def"), "def");
    EXPECT_EQ(store_.ReadNumber("Users\\ann", cfg::kCountUsr), 1u);
    EXPECT_FALSE(hive_.GetValue(store_.BaseKey() + "Users\\ann", "HomeDirectory"));
    EXPECT_EQ(hive_.Values(store_.BaseKey() + "Users\\ann").size(), 1u);

    EXPECT_EQ(store_.ReadText("Users\\bob", cfg::kAccessRcv), "ALL");
    EXPECT_FALSE(store_.KeyExists("Users\\bob"));

    // The creating form creates the key but not the value.
    EXPECT_EQ(store_.ReadText("Users\\bob", cfg::kAccessRcv, KeyAccess::Create), "ALL");
    EXPECT_TRUE(store_.KeyExists("Users\\bob"));
    EXPECT_FALSE(hive_.GetValue(store_.BaseKey() + "Users\\bob", "AccessRcv"));
    EXPECT_EQ(store_.ReadNumber("Receivers\\r1", cfg::kDevError, KeyAccess::Create), 0u);
    EXPECT_TRUE(store_.KeyExists("Receivers\\r1"));
}

TEST_F(StoreTest, LongTextReadsBackWholeNeverAsTheDefault) {
    for (size_t length : {255u, 256u, 5000u}) {
        const std::string text(length, 'b');
        store_.WriteText("", "Scripts", text);
        EXPECT_EQ(store_.ReadText("", "Scripts", "dflt"), text) << length;
    }
}

TEST_F(StoreTest, NumbersAndDecimalTextsReadEitherWay) {
    store_.WriteText("Interface\\COM 1", "RTSCTS", "0");
    EXPECT_EQ(store_.ReadNumber("Interface\\COM 1", cfg::kRTSCTS), 0u);
    store_.WriteText("Interface\\COM 1", "RTSCTS", "on");
    EXPECT_EQ(store_.ReadNumber("Interface\\COM 1", cfg::kRTSCTS), 1u);  // not a number: default
    store_.WriteNumber("Interface\\TCP 10.0.0.1", "Port", 8003);
    EXPECT_EQ(store_.ReadText("Interface\\TCP 10.0.0.1", "Port", ""), "8003");
    store_.WriteNumber("", "TimeKillLog", 0xFFFFFFFFu);
    EXPECT_EQ(store_.ReadNumber("", cfg::kTimeKillLog), 0xFFFFFFFFu);
}

TEST_F(StoreTest, PathsAreRelativeToTheActiveConfiguration) {
    store_.WriteText("", "PortServer", "8000");
    store_.SetActiveConfiguration("Backup");
    EXPECT_EQ(store_.BaseKey(), "Software\\Zelmar\\Orvana\\Config\\Backup\\");
    EXPECT_EQ(store_.ReadText("", cfg::kPortServer), "8000");  // the default, not Main's value
    store_.WriteText("", "PortServer", "9000");
    store_.AtRoot().WriteText("", "CurrentConfig", "Backup");
    EXPECT_EQ(hive_.GetValue("Software\\Zelmar\\Orvana\\Config", "CurrentConfig")->text, "Backup");
    EXPECT_EQ(hive_.GetValue("Software\\Zelmar\\Orvana\\Config\\Main", "PortServer")->text, "8000");
    EXPECT_EQ(hive_.GetValue("Software\\Zelmar\\Orvana\\Config\\Backup", "PortServer")->text,
              "9000");
}

TEST_F(StoreTest, KeysAreCaseInsensitiveAndKeepTheirSpelling) {
    store_.WriteText("Receivers\\Base North", "Interface", "COM 2");
    EXPECT_EQ(store_.ReadText("receivers\\BASE NORTH", cfg::kInterface), "COM 2");
    EXPECT_EQ(store_.ReadText("RECEIVERS\\base north", "INTERFACE", ""), "COM 2");
    store_.WriteText("RECEIVERS\\BASE NORTH", "interface", "COM 3");
    auto keys = store_.SubKeys("Receivers");
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0], "Base North");
    auto values = hive_.Values(store_.BaseKey() + "receivers\\base north");
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].name, "Interface");
    EXPECT_EQ(values[0].value.text, "COM 3");
    EXPECT_EQ(hive_.StoredPath("software\\zelmar\\orvana\\config\\main\\receivers\\base north"),
              "Software\\Zelmar\\Orvana\\Config\\Main\\Receivers\\Base North");
}

TEST_F(StoreTest, SubkeysInRegistryOrderValuesInCreationOrder) {
    // Upper-case comparison: '_' (0x5F) sorts after the letters, '[' ... as the registry does.
    for (const char* name : {"beta", "A_B", "Alpha", "AB", "gamma", "Beta2", "\xE0\xE1"})
        store_.WriteText(std::string("Receivers\\") + name, "EnableRcv", "0");
    std::vector<std::string> expected{"AB", "Alpha", "A_B", "beta", "Beta2", "gamma", "\xE0\xE1"};
    EXPECT_EQ(store_.SubKeys("Receivers"), expected);

    store_.WriteText("Users\\u", "zeta", "1");
    store_.WriteNumber("Users\\u", "alpha", 2);
    store_.WriteText("Users\\u", "Mid", "3");
    store_.WriteText("Users\\u", "ZETA", "4");  // replacing keeps the first place and spelling
    auto values = hive_.Values(store_.BaseKey() + "Users\\u");
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0].name, "zeta");
    EXPECT_EQ(values[0].value.text, "4");
    EXPECT_EQ(values[1].name, "alpha");
    EXPECT_EQ(values[1].value.type, HiveValue::Type::Number);
    EXPECT_EQ(values[2].name, "Mid");
}

TEST_F(StoreTest, DeletingAKeyRemovesItsWholeTree) {
    store_.WriteText("Receivers\\a", "Interface", "COM 1");
    store_.WriteText("Receivers\\a\\deep\\er", "x", "y");
    store_.WriteText("Receivers\\b", "Interface", "COM 2");
    EXPECT_TRUE(store_.DeleteKey("receivers\\A"));
    EXPECT_FALSE(store_.KeyExists("Receivers\\a\\deep"));
    EXPECT_EQ(store_.SubKeys("Receivers"), std::vector<std::string>{"b"});
    EXPECT_FALSE(store_.DeleteKey("Receivers\\a"));
    store_.WriteText("Receivers\\a", "Interface", "COM 9");  // a new key, not a resurrected one
    EXPECT_FALSE(store_.KeyExists("Receivers\\a\\deep"));
}

TEST(StoreFileTest, ForeignFilesAreRefusedAndLeftUntouched) {
    test::TempDir dir;
    std::string text = dir.File("notes.db");
    test::WriteFile(text, "this is not a database\n");
    std::string error;
    EXPECT_FALSE(Hive::Open(text, &error));
    EXPECT_NE(error.find("not a configuration store"), std::string::npos) << error;
    EXPECT_EQ(test::ReadFile(text), "this is not a database\n");

    // A real SQLite file of another program.
    std::string other = dir.File("other.db");
    {
        auto hive = Hive::Open(other, &error);
        ASSERT_TRUE(hive) << error;
    }
    std::string before = test::ReadFile(other);
    // Corrupt the schema marker to stand for a foreign schema of the same engine.
    auto pos = before.find("orvana-hive");
    ASSERT_NE(pos, std::string::npos);
    std::string foreign = before;
    foreign.replace(pos, 11, "someone-els");
    test::WriteFile(other, foreign);
    EXPECT_FALSE(Hive::Open(other, &error));
    EXPECT_NE(error.find("foreign"), std::string::npos) << error;
    EXPECT_EQ(test::ReadFile(other), foreign);

    EXPECT_FALSE(Hive::Open(dir.path(), &error));  // a folder
}

// Runs `body` in a child process; the child ends with _exit so no test state is torn down twice.
template <typename Fn>
pid_t Fork(Fn body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}

int WaitExit(pid_t pid) {
    for (int i = 0; i < 3000; ++i) {  // at most 30 s
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -2;
}

TEST(StoreFileTest, TwoProcessesWriteAtTheSameTime) {
    test::TempDir dir;
    std::string path = dir.File("shared.db");
    {
        std::string error;
        ASSERT_TRUE(Hive::Open(path, &error)) << error;
    }
    constexpr int kWrites = 150;
    auto writer = [&](const char* who) {
        return [=] {
            std::string error;
            auto hive = Hive::Open(path, &error);
            if (!hive) return 3;
            ConfigStore store(*hive);
            for (int i = 0; i < kWrites; ++i) {
                std::string name = std::string(who) + std::to_string(i);
                if (!hive->SetNumber(store.BaseKey() + "Users\\" + who, name,
                                     static_cast<uint32_t>(i)))
                    return 4;
            }
            return 0;
        };
    };
    pid_t a = Fork(writer("a"));
    pid_t b = Fork(writer("b"));
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    EXPECT_EQ(WaitExit(a), 0);
    EXPECT_EQ(WaitExit(b), 0);
    std::string error;
    auto hive = Hive::Open(path, &error);
    ASSERT_TRUE(hive) << error;
    ConfigStore store(*hive);
    for (const char* who : {"a", "b"}) {
        auto values = hive->Values(store.BaseKey() + "Users\\" + who);
        ASSERT_EQ(values.size(), static_cast<size_t>(kWrites)) << who;
        for (int i = 0; i < kWrites; ++i)
            EXPECT_EQ(values[i].value.number, static_cast<uint32_t>(i));
    }
}

TEST(StoreFileTest, KillDuringWritesKeepsEveryCompletedWrite) {
    test::TempDir dir;
    std::string path = dir.File("killed.db");
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t child = Fork([&] {
        close(pipefd[0]);
        std::string error;
        auto hive = Hive::Open(path, &error);
        if (!hive) return 3;
        for (uint32_t i = 0;; ++i) {
            if (!hive->SetNumber("Software\\Series", "v" + std::to_string(i), i)) return 4;
            // Tell the parent only after the write has returned.
            if (write(pipefd[1], &i, sizeof i) != sizeof i) return 5;
        }
    });
    ASSERT_GT(child, 0);
    close(pipefd[1]);
    uint32_t last = 0;
    int reported = 0;
    while (reported < 200 && read(pipefd[0], &last, sizeof last) == sizeof last) ++reported;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(pipefd[0]);
    ASSERT_EQ(reported, 200);

    std::string error;
    auto hive = Hive::Open(path, &error);
    ASSERT_TRUE(hive) << error;
    for (uint32_t i = 0; i <= last; ++i) {
        auto v = hive->GetValue("Software\\Series", "v" + std::to_string(i));
        ASSERT_TRUE(v) << "completed write " << i << " lost";
        EXPECT_EQ(v->number, i);
    }
    EXPECT_TRUE(hive->SetText("Software\\Series", "after", "ok"));  // still writable
}

// A full disk under the store, at once or in the middle of a commit: the write is refused, every
// write acknowledged before it stays, the store stays whole, and it takes writes again once the
// disk does.
TEST(StoreFileTest, AFullDiskRefusesTheWriteAndLosesNothingAcknowledged) {
    test::FaultEnv env;
    platform::ScopedEnv scoped(env);
    test::TempDir dir;
    const std::string path = dir.File("full.db");
    {
        std::string error;
        auto hive = Hive::Open(path, &error);
        ASSERT_TRUE(hive) << error;
        for (uint32_t i = 0; i < 50; ++i)
            ASSERT_TRUE(hive->SetNumber("Software\\Series", "v" + std::to_string(i), i));
        for (size_t after : {size_t{0}, size_t{100}, size_t{5000}}) {
            env.FailFileWrites("full.db", ENOSPC, after);
            const std::string big(20000, 'x');  // more than one page, whatever the budget
            EXPECT_FALSE(hive->SetText("Software\\Series", "big", big)) << after;
            EXPECT_FALSE(hive->GetValue("Software\\Series", "big")) << after;
            env.ClearFileWrites();
        }
        EXPECT_GT(env.writes_failed(), 0);
        EXPECT_TRUE(hive->SetText("Software\\Series", "after", "ok"));
    }
    std::string error;
    auto hive = Hive::Open(path, &error);
    ASSERT_TRUE(hive) << error;
    for (uint32_t i = 0; i < 50; ++i) {
        auto v = hive->GetValue("Software\\Series", "v" + std::to_string(i));
        ASSERT_TRUE(v) << "acknowledged write " << i << " lost";
        EXPECT_EQ(v->number, i);
    }
    EXPECT_FALSE(hive->GetValue("Software\\Series", "big"));
    auto after = hive->GetValue("Software\\Series", "after");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->text, "ok");
}

}  // namespace
}  // namespace orvana
