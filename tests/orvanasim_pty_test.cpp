// The simulator on a pseudo-terminal, driven from the slave end as the server drives a COM port:
// the announced path and its COMn link, line speed as the host sets it, and an orderly stop.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/orvanasim_harness.h"

namespace orvana {
namespace {

using simtest::PtyHost;
using simtest::Sim;

namespace fs = std::filesystem;

TEST(SimPty, AnnouncesItsTerminalLinksItAsComNAndRemovesTheLinkOnSigterm) {
    test::TempDir ports;
    Sim sim;
    auto path = sim.StartPty({"--ports", ports.path(), "--com", "7", "--term", "/dev/ser/c"});
    ASSERT_TRUE(path);
    const std::string link = ports.File("COM7");
    ASSERT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link).string(), *path);

    PtyHost host;
    ASSERT_TRUE(host.Open(link, 115200));
    EXPECT_EQ(host.Ask(simtest::Checksummed("%t%print,/par/cur/term")), "RE00D%t%/dev/ser/c");
    EXPECT_EQ(host.Ask("%Loop%\r\n"), "RE006%Loop%");

    // A host that still holds the terminal open and has output running does not delay the stop.
    ASSERT_EQ(host.Ask("%em%em,,jps/RT:0.05\r\n"), "RE004%em%");
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_NE(sim.Notes().find("orvanasim: stopped"), std::string::npos) << sim.Notes();
}

// Both pty ends share one termios record; the simulator must still tell a host at the wrong
// speed from one at its own, or a speed search could never fail against it.
TEST(SimPty, AnswersOnlyAHostAtItsOwnSpeedAndFollowsTheRateCommand) {
    Sim sim;
    auto path = sim.StartPty({"--speed", "9600"});
    ASSERT_TRUE(path);
    PtyHost host;
    ASSERT_TRUE(host.Open(*path, 115200));
    ASSERT_TRUE(host.Send("%a%print,/par/cur/term/rate\r\n"));
    host.Collect(600);
    EXPECT_EQ(host.got, "");
    EXPECT_TRUE(sim.WaitForNote("host at another speed")) << sim.Notes();

    ASSERT_TRUE(host.SetSpeed(9600));
    EXPECT_EQ(host.Ask("%b%print,/par/cur/term/rate\r\n"), "RE007%b%9600");
    EXPECT_EQ(host.Ask("%1%print,/par/cur/term\r\n"), "RE00D%1%/dev/ser/a");  // the default

    // The answer to the rate change still comes at the old speed; after it, only the new one.
    EXPECT_EQ(host.Ask(simtest::Checksummed("%r%set,/par/cur/term/rate,57600")), "RE003%r%");
    ASSERT_TRUE(host.Send("%c%print,/par/cur/term/rate\r\n"));
    host.Collect(600);
    EXPECT_EQ(host.got, "");
    ASSERT_TRUE(host.SetSpeed(57600));
    EXPECT_EQ(host.Ask("%d%print,/par/cur/term/rate\r\n"), "RE008%d%57600");

    // A rate the receiver has not got is refused and changes nothing.
    auto refused = host.Ask("%e%set,/par/cur/term/rate,12345\r\n");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->substr(0, 2), "ER");
    EXPECT_EQ(host.Ask("%f%print,/par/cur/term/rate\r\n"), "RE008%f%57600");
}

TEST(SimPty, SigtermEndsALongReplyDelayAndStillRemovesTheLink) {
    test::TempDir ports;
    Sim sim;
    ASSERT_TRUE(sim.StartPty({"--ports", ports.path(), "--com", "2", "--reply-delay", "600000"}));
    PtyHost host;
    ASSERT_TRUE(host.Open(ports.File("COM2"), 115200));
    ASSERT_TRUE(host.Send("%Loop%\r\n"));
    platform::SleepMs(300);
    const uint32_t start = platform::TickCount();
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_LT(platform::TickCount() - start, 5000u);
    EXPECT_FALSE(fs::exists(fs::symlink_status(ports.File("COM2"))));
    EXPECT_NE(sim.Notes().find("orvanasim: stopped"), std::string::npos);
}

}  // namespace
}  // namespace orvana
