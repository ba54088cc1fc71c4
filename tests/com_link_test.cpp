// The serial link on a real pseudo-terminal with a fake receiver on its master side.

#include <gtest/gtest.h>

#include <cerrno>

#include "links/com_link.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/pty.h"
#include "platform/sync.h"
#include "receivers/command_engine.h"
#include "receivers/terminal_settings.h"
#include "tests/support/fake_receiver.h"
#include "tests/support/fault_env.h"
#include "tests/support/scripted_link.h"
#include "tests/support/stream_rig.h"

namespace orvana::test {
namespace {

struct ComFixture : EngineFixture {
    FakeReceiver fake;
    std::string ports = dir.File("ports");
    explicit ComFixture(uint32_t speed = 115200) : fake(speed) { fake.LinkAs(ports, 1); }
    ReceiverContext ComContext() {
        ReceiverContext c = Context();
        c.ports_folder = ports;
        return c;
    }
};

TEST(ComLink, CommandGoesOutWithChecksumAndReplyComesBack) {
    ComFixture f;
    ComLink link(f.ComContext(), "1");
    ASSERT_EQ(link.error_text, "");
    EXPECT_TRUE(InternalCommand(link, "print,/par/rcv/model", 5000));
    EXPECT_EQ(link.last_reply, "RE006FAKE-1");
    auto line = f.fake.WaitForCommand("print,/par/rcv/model");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->text, "print,/par/rcv/model@84");
    EXPECT_TRUE(line->checksum_ok);
}

TEST(ComLink, ContainersReachTheDelivery) {
    ComFixture f;
    ComLink link(f.ComContext(), "1");
    ASSERT_EQ(link.error_text, "");
    const std::string c = Container(3, "abc");
    f.fake.Send("junk" + c.substr(0, 5));
    platform::SleepMs(50);
    f.fake.Send(c.substr(5));
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> g(f.delivered_mu);
        return !f.delivered.empty();
    })) << "no container delivered";
    std::lock_guard<std::mutex> g(f.delivered_mu);
    EXPECT_EQ(f.delivered[0], c);
}

TEST(ComLink, DestructionEndsTheReaderAtOnce) {
    ComFixture f;
    auto link = std::make_unique<ComLink>(f.ComContext(), "1");
    ASSERT_EQ(link->error_text, "");
    platform::SleepMs(50);  // the reader is in its wait
    const uint32_t start = platform::TickCount();
    link.reset();
    // The reader's own wait limit is 30 s: only the wake-up ends it this soon.
    EXPECT_LT(platform::TickCount() - start, 5000u);
    EXPECT_NE(f.LogText().find("Dev/COM 1 thread terminated."), std::string::npos);
}

TEST(ComLink, MissingPortFailsAtOnceADeviceNotFunctioningIsTriedTenTimes) {
    FaultEnv env;
    platform::ScopedEnv scoped(env);
    EngineFixture missing;
    ReceiverContext c = missing.Context();
    c.ports_folder = missing.dir.File("none");
    ComLink absent(c, "77");
    // No link, no guess at a device of the system: the text says what to do.
    EXPECT_EQ(absent.open_attempts(), 0);
    EXPECT_EQ(absent.error_text, "COM " + platform::SystemErrorText(ENOENT) +
                                     " (no link COM77 in " + c.ports_folder +
                                     ": orvanacfg port COM77 DEVICE makes one)");

    ComFixture f;
    env.FailOpens(f.ports + "/COM1", EIO, 9);
    ComLink late(f.ComContext(), "1");
    EXPECT_EQ(late.open_attempts(), 10);
    EXPECT_EQ(env.opens_failed(), 9);
    EXPECT_EQ(late.error_text, "");
    EXPECT_TRUE(InternalCommand(late, "print,/par/rcv/model", 5000));

    env.FailOpens(f.ports + "/COM1", EIO, 1000);
    ComLink never(f.ComContext(), "1");
    EXPECT_EQ(never.open_attempts(), 10);
    EXPECT_EQ(never.error_text, "COM " + platform::SystemErrorText(EIO));
}

TEST(ComLink, APortThatIsNoNumberAndAReaderThatCannotStartFailTheOpen) {
    FaultEnv env;
    platform::ScopedEnv scoped(env);
    ComFixture f;
    ComLink named(f.ComContext(), "abc");
    EXPECT_EQ(named.error_text, "COM abc: not a port number");
    EXPECT_EQ(named.open_attempts(), 0);

    env.FailThreadStarts(1);
    ComLink threadless(f.ComContext(), "1");
    EXPECT_NE(threadless.error_text.find("cannot start the reader thread"), std::string::npos)
        << threadless.error_text;
    EXPECT_EQ(env.threads_refused(), 1);
    ComLink next(f.ComContext(), "1");
    EXPECT_EQ(next.error_text, "");
    EXPECT_TRUE(InternalCommand(next, "print,/par/rcv/model", 5000));
}

// A port that says it has bytes and then has none, or says it takes bytes and then takes
// none: reads try again, and a write gives up at its limit instead of spinning on.
TEST(ComLink, ReadsAndWritesThatFindThePortNotReadyGoOnOrGiveUpInTime) {
    FaultEnv env;
    platform::ScopedEnv scoped(env);
    ComFixture f;
    ComLink link(f.ComContext(), "1");
    ASSERT_EQ(link.error_text, "");
    env.AgainOnReads(f.fake.slave_path(), 200);
    EXPECT_TRUE(InternalCommand(link, "print,/par/rcv/model", 5000));
    EXPECT_EQ(link.last_reply, "RE006FAKE-1");
    EXPECT_GT(env.reads_failed(), 0);

    env.AgainOnWrites(f.fake.slave_path());
    const uint32_t start = platform::TickCount();
    EXPECT_LT(link.Write("print,/par/rcvid\r\n", 18), 18u);
    EXPECT_LT(platform::TickCount() - start, 20000u);
    env.ClearFileWrites();
    EXPECT_TRUE(InternalCommand(link, "print,/par/rcv/model", 5000));
}

TEST(SpeedSearch, FindsReceiverAt57600AndMovesItToTheConfiguredRate) {
    ComFixture f(57600);
    ComLink link(f.ComContext(), "1");
    ASSERT_EQ(link.error_text, "");
    link.speed_text = "115200";
    EXPECT_EQ(SpeedSearch(link, false), 57600u);
    EXPECT_EQ(f.fake.speed(), 115200u);
    EXPECT_EQ(f.fake.SlaveSpeed(), 115200u);
    // Each faster rate was tried, unanswered, before 57600.
    for (const char* s :
         {"% COM1:115200 %dm", "% COM1:921600 %dm", "% COM1:460800 %dm", "% COM1:230400 %dm"}) {
        auto l = f.fake.WaitForCommand(s, 0);
        ASSERT_TRUE(l) << s;
        EXPECT_FALSE(l->answered) << s;
    }
    EXPECT_TRUE(f.fake.WaitForCommand("%%set,cur/term/rate,115200", 0));
    EXPECT_EQ(f.fake.CountCommands("% COM1:38400 %"), 0u);
    EXPECT_TRUE(InternalCommand(link, "print,/par/rcv/model", 5000));
}

TEST(SpeedSearch, FirstOnlyGivesUpAfterTheConfiguredRate) {
    ComFixture f(57600);
    ComLink link(f.ComContext(), "1");
    link.speed_text = "115200";
    EXPECT_EQ(SpeedSearch(link, true), 0u);
    EXPECT_EQ(f.fake.CountCommands("% COM1:921600 %"), 0u);
    EXPECT_NE(f.LogText().find("ER:Can't find speed for COM1"), std::string::npos);
}

TEST(SpeedSearch, ReceiverAtTheConfiguredRateIsLeftAlone) {
    ComFixture f;
    ComLink link(f.ComContext(), "1");
    link.speed_text = "115200";
    EXPECT_EQ(SpeedSearch(link, true), 115200u);
    EXPECT_EQ(f.fake.CountCommands("set,cur/term/rate"), 0u);
}

TEST(FlowControl, ReceiverIsToldBeforeThePortChanges) {
    ComFixture f;
    ComLink link(f.ComContext(), "1");
    EXPECT_TRUE(ChangeFlowControl(link, false));
    EXPECT_TRUE(f.fake.WaitForCommand("%rts%set,/par/cur/term/rtscts,off", 0));
    f.fake.SetResponder([](const std::string&) { return std::string("ER003bad"); });
    EXPECT_FALSE(ChangeFlowControl(link, true));
}

// A line error is named by the first kind that counted since the last look, in the operator's
// order; counts that did not move name nothing.
TEST(LineErrors, FirstKindThatCountedNamesTheError) {
    platform::LineErrorCounts before{3, 1, 0, 7, 2};
    EXPECT_EQ(LineErrorText(before, before), nullptr);
    auto with = [&](uint32_t platform::LineErrorCounts::*field) {
        platform::LineErrorCounts now = before;
        now.*field += 1;
        return std::string(LineErrorText(before, now));
    };
    EXPECT_EQ(with(&platform::LineErrorCounts::breaks), "Break detected");
    EXPECT_EQ(with(&platform::LineErrorCounts::framing), "Framing error");
    EXPECT_EQ(with(&platform::LineErrorCounts::overrun), "Serial overrun");
    EXPECT_EQ(with(&platform::LineErrorCounts::buffer_overrun), "Input buffer overflow");
    EXPECT_EQ(with(&platform::LineErrorCounts::parity), "Parity error");
    platform::LineErrorCounts both = before;
    both.parity += 4;
    both.framing += 1;
    EXPECT_STREQ(LineErrorText(before, both), "Framing error");
    // A counter that wrapped still moved.
    platform::LineErrorCounts wrapped = before;
    wrapped.breaks = 0;
    EXPECT_STREQ(LineErrorText(before, wrapped), "Break detected");
}

// A pseudo-terminal keeps no line-error counts (the ComLink tests above read through one).
TEST(LineErrors, PseudoTerminalHasNoCounts) {
    ComFixture f;
    platform::SerialPort port;
    ASSERT_EQ(port.Open(f.fake.slave_path()), 0);
    EXPECT_FALSE(port.ErrorCounts());
}

// With no bytes waiting a read returns nothing on a healthy port (here: flushed after the wait
// saw bytes); only a line whose other end is gone is a hang-up.
TEST(SerialPortRead, NothingAfterAFlushIsNoHangupAClosedMasterIs) {
    auto pty = std::make_unique<platform::PseudoTerminal>();
    std::string error;
    ASSERT_TRUE(pty->Create(115200, &error)) << error;
    platform::SerialPort port;
    ASSERT_EQ(port.Open(pty->SlavePath()), 0);
    char buf[16];
    ASSERT_EQ(pty->Write("abc", 3, 1000), 3);
    ASSERT_EQ(port.WaitReadable(5000), platform::SerialPort::Wait::Readable);
    port.Purge();
    EXPECT_EQ(port.Read(buf, sizeof buf), 0);
    ASSERT_EQ(pty->Write("def", 3, 1000), 3);
    ASSERT_EQ(port.WaitReadable(5000), platform::SerialPort::Wait::Readable);
    EXPECT_EQ(port.Read(buf, sizeof buf), 3);

    pty.reset();
    const auto wait = port.WaitReadable(5000);
    ASSERT_NE(wait, platform::SerialPort::Wait::Timeout);
    if (wait == platform::SerialPort::Wait::Readable) {
        EXPECT_EQ(port.Read(buf, sizeof buf), -1);
    }
}

}  // namespace
}  // namespace orvana::test
