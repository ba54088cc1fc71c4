// The receiver information poll against a real server and a simulated receiver: the fields it
// fills, what an error leaves, and the system user it must not leave behind.

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/config_keys.h"
#include "core/login.h"
#include "core/server.h"
#include "receivers/info_poll.h"
#include "tests/tcp_link_harness.h"

namespace orvana {
namespace {

class InfoPollTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sim_.Start({"--model", "SIM-MODEL", "--rcvid", "ID42", "--version", "3.7.1"}));
        test::AddTcpReceiver(local_.store(), "sim", "TCP 127.0.0.1", sim_.port());
        ASSERT_NE(local_.Start(), nullptr);
    }
    // Runs a poll of `receiver` to its end and returns what it reported.
    ReceiverInfo Poll(const std::string& receiver) {
        std::mutex mu;
        std::condition_variable cv;
        std::optional<ReceiverInfo> got;
        {
            InfoPoll poll(local_.server(), receiver, [&](const ReceiverInfo& info) {
                std::lock_guard<std::mutex> lock(mu);
                got = info;
                cv.notify_all();
            });
            EXPECT_TRUE(DemonExists()) << "the poll logs in as Demon";
            std::unique_lock<std::mutex> lock(mu);
            EXPECT_TRUE(
                cv.wait_for(lock, std::chrono::seconds(30), [&] { return got.has_value(); }));
        }
        EXPECT_FALSE(DemonExists()) << "Users\\Demon outlives its poll";
        return got.value_or(ReceiverInfo{});
    }
    bool DemonExists() {
        return local_.store().KeyExists(std::string(cfg::kUsersKey) + kDemonUser);
    }

    test::SimReceiver sim_;
    test::LocalServer local_;
};

TEST_F(InfoPollTest, FillsTheThreeFieldsFromTheReceiver) {
    ReceiverInfo info = Poll("sim");
    EXPECT_EQ(info.type, "SIM-MODEL");
    EXPECT_EQ(info.id, "ID42");
    EXPECT_EQ(info.firmware, "3.7.1");
}

TEST_F(InfoPollTest, AnErrorReplyLeavesUndefined) {
    ReceiverInfo info = Poll("nosuch");
    EXPECT_EQ(info.type, kUndefinedInfo);
    EXPECT_EQ(info.id, kUndefinedInfo);
    EXPECT_EQ(info.firmware, kUndefinedInfo);
}

TEST_F(InfoPollTest, ADeadReceiverEndsThePollWhenItsOwnerLeaves) {
    sim_.Freeze();
    std::optional<ReceiverInfo> got;
    {
        InfoPoll poll(local_.server(), "sim", [&](const ReceiverInfo& info) { got = info; });
        // Time to log in and wait for the receiver; leaving long before the 100 s reply wait
        // closes the connection and ends the poll.
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    ASSERT_TRUE(got.has_value()) << "the poll ended without reporting";
    EXPECT_EQ(got->type, kUndefinedInfo);
    EXPECT_FALSE(DemonExists());
}

TEST(InfoReply, LinesFillTheFieldsInOrderFromTheirSixthCharacter) {
    ReceiverInfo info = ParseInfoReply("RE009\"MODEL\"\nER012{2,bad path}");
    EXPECT_EQ(info.type, "\"MODEL\"");
    EXPECT_EQ(info.id, "{2,bad path}") << "an error line shows its text";
    EXPECT_EQ(info.firmware, kUndefinedInfo) << "no third line";
    EXPECT_EQ(ParseInfoReply("").type, kUndefinedInfo);
    EXPECT_EQ(ParseInfoReply("RE0\nRE005abcde").type, "") << "a line no longer than its header";
}

TEST(InfoPollUser, RemovedWhenAConsoleLeftItBehind) {
    test::LocalServer local;
    ASSERT_NE(local.Start(), nullptr);
    WriteSystemUser(local.server(), kDemonUser);
    RemoveInfoPollUser(local.server());
    EXPECT_FALSE(local.store().KeyExists(std::string(cfg::kUsersKey) + kDemonUser));
    RemoveInfoPollUser(local.server());  // none there: nothing to do
}

}  // namespace
}  // namespace orvana
