// Opening, sharing, commanding and closing a serial receiver through the server binary, with a
// fake receiver on the master side of a pseudo-terminal linked as the server's COM1.

#include <gtest/gtest.h>

#include <thread>

#include "tests/server_harness.h"
#include "tests/support/fake_receiver.h"

namespace orvana {
namespace {

using test::FakeReceiver;
using test::Frame;
using test::TestClient;

class ReceiverRequests : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.AddUser("ann", "secret", 4);
        server_.AddUser("bob", "secret", 4);
        server_.store().WriteFlag("Users\\bob", cfg::kSuperUser.name, false);
        server_.AddReceiver("Base1", true, "COM 1");
        fake_ = std::make_unique<FakeReceiver>();
    }
    // The server closes what is still open while the receiver still answers.
    void TearDown() override { server_.Stop(); }
    void Start() {
        fake_->LinkAs(server_.Ports(), 1);
        ASSERT_TRUE(server_.Start());
    }
    std::unique_ptr<TestClient> LoggedIn(const std::string& user) {
        return server_.Client("OpenUsr " + user + " secret tests");
    }
    static std::string Text(const std::optional<Frame>& f) { return f ? f->data : "(no reply)"; }
    // The next frame that is not a keep-alive, within a generous bound.
    static std::optional<Frame> Next(TestClient& c) { return c.NextReply(30); }
    std::optional<Frame> Open(TestClient& c, const std::string& args = "Base1") {
        return c.Call("OpenRcv " + args, 1, 30);
    }

    test::ServerProcess server_;
    std::unique_ptr<FakeReceiver> fake_;
};

TEST_F(ReceiverRequests, OpenSequenceCommandAndCloseAsTheReceiverSeesThem) {
    Start();
    auto ann = LoggedIn("ann");
    auto f = Open(*ann);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->data, "RE:OK.");
    EXPECT_EQ(f->code, 1u);

    const std::vector<std::string> expected = {
        "% COM1:115200 %set,/par/cur/term/rtscts,off",
        "% COM1:115200 %dm",
        "% COM1:115200 %print,cur/term/rate",
        "%rts%set,/par/cur/term/rtscts,on",
        "print,/cur/term",
        "set,lock/elm,0",
        "%Loop%",
        "%elm%set,/par/out/elm/cur/term,-90",
        "list,/msg/jps",
        "list,/msg/cmr",
        "list,/msg/nmea",
        "list,/msg/rtcm",
    };
    std::vector<test::ReceivedLine> lines = fake_->Lines();
    size_t at = 0;
    for (const test::ReceivedLine& l : lines) {
        if (at < expected.size() && l.command == expected[at]) {
            // The quiet probe follows "#OFF#" on the same line: no checksum for it.
            const bool plain = at != 1;
            EXPECT_EQ(l.had_checksum, plain) << l.text;
            if (plain) {
                EXPECT_TRUE(l.checksum_ok) << l.text;
            }
            ++at;
        }
    }
    EXPECT_EQ(at, expected.size())
        << "missing from the open sequence: " << (at < expected.size() ? expected[at] : "");
    // The disable sequence goes out as it is, without a checksum.
    EXPECT_TRUE(fake_->WaitForCommand("||####", 0));

    f = ann->Call("Command print,/par/rcv/model", 1, 30);
    EXPECT_EQ(Text(f), "RE006FAKE-1");
    EXPECT_EQ(f->code, 1u);
    f = ann->Call("Command print,/nothing", 1, 30);
    EXPECT_EQ(Text(f), "RE002OK");

    fake_->ClearLines();
    f = ann->Call("CloseRcv", 1, 30);
    // 22 bytes of the open's reply, 27 and 23 of the two commands'.
    EXPECT_EQ(Text(f), "RE:OK. Send=72");
    EXPECT_TRUE(fake_->WaitForCommand("%terminate%set,/par/cur/term/rtscts,off", 0));
    EXPECT_TRUE(fake_->WaitForCommand("%terminate%set,cur/term/rate,115200", 0));
    EXPECT_TRUE(server_.WaitForLog("Dev/COM 1 thread terminated."));
    f = ann->Call("Command print,/par/rcv/model", 1, 30);
    EXPECT_EQ(Text(f), "ER:Receiver not open!");
    f = ann->Call("CloseRcv", 1, 30);
    EXPECT_EQ(Text(f), "ER:Receiver not open!");
}

TEST_F(ReceiverRequests, CloseReturnsTheLineTo115200) {
    server_.store().WriteText("Interface\\COM 1", cfg::kSpeed.name, "57600");
    fake_->set_speed(57600);
    Start();
    auto ann = LoggedIn("ann");
    ASSERT_EQ(Text(Open(*ann)), "RE:OK.");
    EXPECT_EQ(fake_->SlaveSpeed(), 57600u);
    EXPECT_EQ(Text(ann->Call("CloseRcv", 1, 30)), "RE:OK. Send=22");
    EXPECT_EQ(fake_->speed(), 115200u);
    EXPECT_EQ(fake_->SlaveSpeed(), 115200u);
}

// The open searches past the configured speed and moves the receiver to it.
TEST_F(ReceiverRequests, ReceiverAtAnotherSpeedIsFoundAndMovedToTheConfiguredOne) {
    fake_->set_speed(57600);
    Start();
    auto ann = LoggedIn("ann");
    ASSERT_EQ(Text(Open(*ann)), "RE:OK.");
    EXPECT_EQ(fake_->speed(), 115200u);
    EXPECT_EQ(fake_->SlaveSpeed(), 115200u);
    EXPECT_EQ(Text(ann->Call("Command print,/par/rcv/model", 1, 30)), "RE006FAKE-1");
}

TEST_F(ReceiverRequests, TwoClientsOpeningAtOnceShareOneReceiver) {
    Start();
    auto ann = LoggedIn("ann");
    auto bob = LoggedIn("bob");
    ASSERT_TRUE(ann->Request("OpenRcv Base1", 1));
    ASSERT_TRUE(bob->Request("OpenRcv Base1", 1));
    EXPECT_EQ(Text(Next(*ann)), "RE:OK.");
    EXPECT_EQ(Text(Next(*bob)), "RE:OK.");
    EXPECT_EQ(fake_->CountCommands("%Loop%"), 1u);

    // Replies go to the client whose command they answer.
    ASSERT_TRUE(ann->Request("Command %a%print,x", 1));
    ASSERT_TRUE(bob->Request("Command %b%print,y", 1));
    EXPECT_EQ(Text(Next(*ann)), "RE003%a%");
    EXPECT_EQ(Text(Next(*bob)), "RE003%b%");

    // The first close leaves the receiver to the other user; the last one ends it.
    EXPECT_EQ(Text(ann->Call("CloseRcv", 1, 30)), "RE:OK. Send=46");
    EXPECT_EQ(fake_->CountCommands("%terminate%"), 0u);
    EXPECT_EQ(Text(bob->Call("Command print,/par/rcv/model", 1, 30)), "RE006FAKE-1");
    EXPECT_EQ(Text(bob->Call("CloseRcv", 1, 30)), "RE:OK. Send=73");
    EXPECT_EQ(fake_->CountCommands("%terminate%"), 2u);
}

TEST_F(ReceiverRequests, LockRequestKeepsLaterOpenersOut) {
    Start();
    auto ann = LoggedIn("ann");
    auto bob = LoggedIn("bob");
    auto third = LoggedIn("ann");
    ASSERT_EQ(Text(Open(*ann)), "RE:OK.");
    ASSERT_EQ(Text(Open(*bob, "Base1 1")), "RE:OK.");
    auto f = Open(*third);
    EXPECT_EQ(Text(f), "ER:Device locked!");
    EXPECT_EQ(f->code, 0u);
    EXPECT_EQ(Text(third->Call("Command print,x", 1)), "ER:Receiver not open!");
    // The lock ends with its holder's close.
    EXPECT_EQ(Text(bob->Call("CloseRcv", 1, 30)), "RE:OK. Send=22");
    EXPECT_EQ(Text(Open(*third)), "RE:OK.");
}

TEST_F(ReceiverRequests, WrongLoopEchoOrAMissingPortFailsTheOpen) {
    fake_->SetResponder([](const std::string& c) -> std::optional<std::string> {
        if (c == "%Loop%") return FakeReceiver::Reply("%Loop%x");
        return std::nullopt;
    });
    server_.AddReceiver("Base2", true, "COM 99");
    Start();
    auto ann = LoggedIn("ann");
    // A port that is not there fails the open too.
    EXPECT_EQ(Text(ann->Call("OpenRcv Base2", 2, 30)), "ER:Can't open receiver:Base2");
    EXPECT_TRUE(server_.WaitForLog("COM No such file or directory"));
    auto f = Open(*ann);
    EXPECT_EQ(Text(f), "ER:Can't open receiver:Base1");
    EXPECT_EQ(f->code, 0u);
    EXPECT_EQ(fake_->CountCommands("list,/msg/jps"), 0u);
    EXPECT_EQ(Text(ann->Call("Command print,x", 1)), "ER:Receiver not open!");
    EXPECT_TRUE(server_.WaitForLog("Dev/COM 1 thread terminated."));
}

TEST_F(ReceiverRequests, HandleInUseGuardedAndBlockedCommandsAreRefused) {
    Start();
    auto ann = LoggedIn("ann");
    auto bob = LoggedIn("bob");
    ASSERT_EQ(Text(Open(*ann)), "RE:OK.");
    EXPECT_EQ(Text(Open(*ann)), "ER:Don't close receiver.");
    EXPECT_EQ(Text(ann->Call("OpenRcv Nobody", 2)), "ER:Can't find receiver.");
    // Guarded commands need a super user.
    ASSERT_EQ(Text(Open(*bob)), "RE:OK.");
    auto f = bob->Call("Command %3%set,/par/pos/mode,x", 1, 30);
    EXPECT_EQ(Text(f), "ER:User not authorized to send this command!");
    EXPECT_EQ(fake_->CountCommands("/par/pos/mode"), 0u);
    EXPECT_EQ(Text(bob->Call("Command set,/par/pos/mode,x", 1, 30)), "RE002OK");
    // Commands on the server's own port are blocked, for a super user too.
    for (const char* c : {"%1%em,/dev/ser/a,jps/RT", "%1%em,,jps/RT", "%1%dm,/cur/term",
                          "%1%set,/par/cur/term/rate,9600"}) {
        EXPECT_EQ(Text(ann->Call(std::string("Command ") + c, 1, 30)), "ER:Command blocked") << c;
    }
    EXPECT_EQ(fake_->CountCommands("%1%"), 0u);
    EXPECT_EQ(Text(ann->Call("Command %1%em,/dev/ser/b,jps/RT", 1, 30)), "RE003%1%");
}

TEST_F(ReceiverRequests, ResetReleasesTheOtherClients) {
    Start();
    auto ann = LoggedIn("ann");
    auto bob = LoggedIn("bob");
    ASSERT_EQ(Text(Open(*ann)), "RE:OK.");
    ASSERT_EQ(Text(Open(*bob)), "RE:OK.");
    // Only both words together reset; one alone is an ordinary command.
    EXPECT_EQ(Text(ann->Call("Command %1%set,/par/reset,yes", 1, 30)), "RE003%1%");
    EXPECT_EQ(Text(bob->Call("Command print,/par/rcv/model", 1, 30)), "RE006FAKE-1");

    auto f = ann->Call("Command init,/dev/nvm/a&&set,/par/reset,yes", 1, 30);
    EXPECT_EQ(Text(f), "RE002OK");
    auto notice = Next(*bob);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->type, 0x900u);
    EXPECT_EQ(notice->handle, 1u);
    EXPECT_EQ(notice->data, "RS:Base1,0");
    EXPECT_EQ(Text(bob->Call("Command print,/par/rcv/model", 1, 30)), "ER:Receiver not open!");
    EXPECT_EQ(Text(ann->Call("Command print,/par/rcv/model", 1, 30)), "RE006FAKE-1");
    EXPECT_TRUE(server_.WaitForLog("Run reset receiver=Base1"));
}

}  // namespace
}  // namespace orvana
