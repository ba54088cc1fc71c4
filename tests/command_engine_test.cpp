// The command engine on a link without a transport: outgoing lines, the stream parser's cases,
// reply matching by tag, time-outs and scripts.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/clock.h"
#include "receivers/command_engine.h"
#include "tests/support/fake_receiver.h"
#include "tests/support/scripted_link.h"
#include "tests/support/stream_rig.h"
#include "tests/support/temp_store.h"

namespace orvana::test {
namespace {

using Reply = FakeReceiver;  // for its Reply/Container builders

// ---- outgoing lines ----------------------------------------------------------------------

TEST(OutgoingLine, ChecksumLineEndAndTheFormsWithoutThem) {
    EXPECT_EQ(ReceiverChecksum("abc", 3), 0xF3);
    const struct {
        std::string command;
        bool gate;
        std::string line;
    } cases[] = {
        {"print,/par/rcv/model", false, "print,/par/rcv/model@84\r\n"},
        {"", false, "@ 1\r\n"},  // a small checksum has a leading blank
        {"print,/par/rcv/model", true, "print,/par/rcv/model"},  // a gate gets the text as it is
        // Compound commands go without a checksum.
        {"em,,jps/RT||dm", false, "em,,jps/RT||dm\r\n"},
        {"a&&b", false, "a&&b\r\n"},
        {"x;y", false, "x;y\r\n"},
        {"#OFF#", false, "#OFF#\r\n"},
        {"a\nb", false, "a\nb\r\n"},
        {"set,x@1", false, "set,x@1\r\n"},
    };
    for (const auto& c : cases) {
        std::string line;
        ASSERT_TRUE(PrepareLine(c.command, c.gate, &line)) << c.command;
        EXPECT_EQ(line, c.line);
    }
}

TEST(OutgoingLine, CommandThatCannotFitIsRefusedNotCut) {
    std::string line;
    EXPECT_TRUE(PrepareLine(std::string(250, 'a'), false, &line));
    EXPECT_FALSE(PrepareLine(std::string(251, 'a'), false, &line));
    EngineFixture f;
    ScriptedLink link(f.Context(), LinkKind::kCom, nullptr);
    EXPECT_FALSE(InternalCommand(link, std::string(300, 'a'), 100));
    EXPECT_TRUE(link.Written().empty());
}

// ---- the stream parser ------------------------------------------------------------------

struct ParserCase {
    const char* legend;
    std::vector<std::string> reads;
    std::string reply;  // the completed reply, "" for none
    size_t containers;
    const char* logged;  // a log fragment, or nullptr
};

class StreamParser : public ::testing::TestWithParam<ParserCase> {};

TEST_P(StreamParser, FindsRepliesAndContainers) {
    const ParserCase& c = GetParam();
    EngineFixture f;
    ScriptedLink link(f.Context(), LinkKind::kCom, nullptr);
    link.awaiting_reply = 1;
    for (const std::string& read : c.reads) link.Feed(read);
    link.Drain();
    if (c.reply.empty()) {
        EXPECT_FALSE(link.reply_event.Wait(0)) << c.legend;
    } else {
        EXPECT_TRUE(link.reply_event.Wait(0)) << c.legend;
        EXPECT_FALSE(link.reply_event.Wait(0)) << c.legend << ": set more than once";
        EXPECT_EQ(link.reply.Text(), c.reply) << c.legend;
    }
    EXPECT_EQ(f.delivered.size(), c.containers) << c.legend;
    if (c.logged) {
        EXPECT_NE(f.LogText().find(c.logged), std::string::npos) << c.legend;
    }
}

const std::string kContainer = Container(7, "payload");

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamParser,
    ::testing::Values(
        ParserCase{"leading garbage", {"xyzRE003abc"}, "RE003abc", 0, nullptr},
        ParserCase{"zero length is no message", {"RE000RE002ok"}, "RE002ok", 0, nullptr},
        ParserCase{"reply split across reads", {"RE0", "05hel", "lo"}, "RE005hello", 0, nullptr},
        ParserCase{"merged reply", {"RE005{a,b,", "RE004c,d}"}, "RE009{a,b,c,d}", 0, nullptr},
        ParserCase{"merged reply with unbalanced braces",
                   {"RE005{a,b,", "RE003c,d"},
                   "RE008{a,b,c,d",
                   0,
                   "--Reply Merge Error -> "},
        ParserCase{"container split across reads",
                   {kContainer.substr(0, 4), kContainer.substr(4)},
                   "",
                   1,
                   nullptr},
        ParserCase{
            "container then reply in one read", {kContainer + "RE002ok"}, "RE002ok", 1, nullptr},
        ParserCase{"bad container checksum",
                   {kContainer.substr(0, kContainer.size() - 2) + "00"},
                   "",
                   0,
                   " Bad checksum "},
        ParserCase{"error reply", {"ER005wrong"}, "ER005wrong", 0, nullptr}),
    [](const ::testing::TestParamInfo<ParserCase>& info) {
        std::string n = info.param.legend;
        for (char& ch : n)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return n;
    });

TEST(StreamParserLimits, AFullReadAfterTheLongestUnfinishedReplyFitsALateReplyIsLogged) {
    EngineFixture f;
    ScriptedLink link(f.Context(), LinkKind::kCom, nullptr);
    link.awaiting_reply = 1;
    // An unfinished reply of 4099 bytes waits for one more byte; a full read then ends it and
    // the rest of the read is garbage, dropped.
    link.Feed("REFFF" + std::string(2000, 'x'));
    link.Feed(std::string(2094, 'x'));
    link.Feed(std::string(Receiver::kInputSize, 'y'));
    EXPECT_TRUE(link.reply_event.Wait(5000));
    EXPECT_EQ(link.reply.Text(), "REFFF" + std::string(4094, 'x') + "y");
    link.reply_event.ResetEvent();
    link.Feed("RE002ok");
    link.Drain();
    EXPECT_EQ(f.LogText().find("Input buffer overflow!!!"), std::string::npos);
    EXPECT_TRUE(link.reply_event.Wait(0));
    EXPECT_EQ(link.reply.Text(), "RE002ok");

    // A reply no sender waits for is logged.
    ScriptedLink idle(f.Context(), LinkKind::kCom, nullptr);
    idle.Feed("RE004late");
    idle.Drain();
    EXPECT_NE(f.LogText().find("Base1--More than one reply to command -> RE004late"),
              std::string::npos);
}

TEST(StreamParserLimits, ReplyBufferGrowsForLongMergedReplies) {
    EngineFixture f;
    ScriptedLink link(f.Context(), LinkKind::kCom, nullptr);
    link.awaiting_reply = 1;
    std::string part = "{" + std::string(3000, 'a') + ",";
    link.Feed(Reply::Reply(part));
    for (int i = 0; i < 2; ++i) link.Feed(Reply::Reply(std::string(3000, 'b') + ","));
    link.Feed(Reply::Reply("c}"));
    link.Drain();
    ASSERT_TRUE(link.reply_event.Wait(0));
    const std::string text = link.reply.Text();
    EXPECT_EQ(text.size(), 5u + 3002 + 3001 * 2 + 2);
    EXPECT_EQ(text.substr(0, 5), "REFFF");  // the length field cannot hold it
    EXPECT_GT(link.reply.Capacity(), ReplyBuffer::kInitialCapacity);

    // One reply with the longest body its length field can hold passes the first capacity.
    link.reply.Clear();
    link.awaiting_reply = 1;
    const std::string body(0xFFF, 'd');
    const std::string whole = Reply::Reply(body);
    link.Feed(whole.substr(0, 4000));
    link.Feed(whole.substr(4000));
    link.Drain();
    ASSERT_TRUE(link.reply_event.Wait(0));
    EXPECT_EQ(link.reply.Text(), "REFFF" + body);
}

// ---- replies matched to commands ----------------------------------------------------------

TEST(SendCommand, ReplyWithAnotherTagOrNoneIsSkippedAndErrorsFailAndCount) {
    const struct {
        std::string wrong, command, right;
    } cases[] = {
        {"RE007%7%done", "%8%print,x", "RE007%8%done"},
        {"RE002OK", "%Loop%", "RE006%Loop%"},  // a late untagged reply
    };
    for (const auto& c : cases) {
        EngineFixture f;
        ScriptedLink link(f.Context(), LinkKind::kCom, [&](const std::string&) { return c.wrong; });
        bool ok = false;
        std::thread sender([&] { ok = InternalCommand(link, c.command, 5000); });
        // The right reply comes only once the wrong one has been turned down.
        WaitUntil([&] { return link.error_count != 0; });
        link.Feed(c.right);
        sender.join();
        EXPECT_TRUE(ok) << c.command;
        EXPECT_EQ(link.last_reply, c.right);
        EXPECT_EQ(link.error_count, 1u);
        EXPECT_NE(f.LogText().find("   Base1 > ER:unable reply->" + c.wrong), std::string::npos);
    }
    EngineFixture f;
    ScriptedLink link(f.Context(), LinkKind::kCom,
                      [](const std::string&) { return std::string("RE002OK"); });
    // Untagged commands still take untagged replies, and errors end any wait.
    EXPECT_TRUE(InternalCommand(link, "set,lock/elm,0", 2000));
    EXPECT_EQ(link.last_reply, "RE002OK");
    ScriptedLink failing(f.Context(), LinkKind::kCom,
                         [](const std::string&) { return std::string("ER003bad"); });
    EXPECT_FALSE(InternalCommand(failing, "%t%print,x", 2000));
    EXPECT_EQ(failing.last_reply, "ER003bad");
    EXPECT_EQ(failing.error_count, 1u);
    EXPECT_EQ(failing.sender_count, 0);
    EXPECT_EQ(failing.reply_state, -1);
}

TEST(SendCommand, AReplyAfterItsSenderGaveUpIsLoggedAndAnswersNoLaterCommand) {
    EngineFixture f;
    ScriptedLink link(f.Context(), LinkKind::kCom, [](const std::string& line) {
        if (line.find("first") != std::string::npos) return std::string();
        return Reply::Reply(line.substr(6, line.find('@') - 6));
    });
    EXPECT_FALSE(InternalCommand(link, "print,first", 100));
    link.Feed(Reply::Reply("first"));
    link.Drain();
    for (const char* next : {"second", "third", "fourth"}) {
        EXPECT_TRUE(InternalCommand(link, std::string("print,") + next, 5000)) << next;
        EXPECT_EQ(link.last_reply.substr(5), next);
    }
    EXPECT_NE(f.LogText().find("More than one reply to command -> RE005first"), std::string::npos);
}

TEST(SendCommand, AStoppedLinkWakesItsWaitingSenderAtOnce) {
    EngineFixture f;
    ScriptedLink link(f.Context(), LinkKind::kCom, nullptr);
    const uint32_t start = platform::TickCount();
    std::thread stopper([&] {
        WaitUntil([&] { return link.awaiting_reply != 0; });
        link.RequestStop();
    });
    EXPECT_FALSE(InternalCommand(link, "print,x", 60000));
    stopper.join();
    EXPECT_LT(platform::TickCount() - start, 10000u);
    EXPECT_EQ(link.last_reply, "ER:Terminate connect Rcv=Base1");
}

TEST(SendCommand, SendWithoutWaitingSucceedsOnTheWrite) {
    EngineFixture f;
    ScriptedLink link(f.Context(), LinkKind::kCom, nullptr);
    EXPECT_TRUE(InternalCommand(link, kDisableSequence, 0));
    ASSERT_EQ(link.Written().size(), 1u);
    EXPECT_EQ(link.Written()[0], std::string(kDisableSequence) + "\r\n");
    EXPECT_NE(f.LogText().find("   Base1 < <lf>dm<lf>||<lf>dm<lf>||####<lf>dm<cr><lf>"),
              std::string::npos);
}

TEST(SendCommand, TcpReceiverIsGivenUpAfterFourTimeoutsAComReceiverNever) {
    EngineFixture f;
    ScriptedLink link(f.Context(), LinkKind::kTcp, nullptr);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(InternalCommand(link, "print,x", 20));
        EXPECT_EQ(link.last_reply, kReplyTimeout);
        EXPECT_EQ(link.stop, 0) << "after time-out " << i + 1;
    }
    EXPECT_FALSE(InternalCommand(link, "print,x", 20));
    EXPECT_EQ(link.stop, 1);
    EXPECT_NE(f.LogText().find("Delete receiver:Base1"), std::string::npos);
    EXPECT_FALSE(InternalCommand(link, "print,x", 20));
    EXPECT_EQ(link.last_reply, "ER:Terminate connect Rcv=Base1");
    EXPECT_EQ(link.Written().size(), 4u);

    // A serial receiver keeps being tried; the metrics count every time-out.
    ReceiverTraffic traffic;
    ReceiverContext counted = f.Context();
    counted.traffic = &traffic;
    ScriptedLink com(counted, LinkKind::kCom, nullptr);
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(InternalCommand(com, "print,x", 20));
    EXPECT_EQ(com.stop, 0);
    EXPECT_EQ(com.error_count, 5u);
    EXPECT_EQ(com.Written().size(), 5u);
    EXPECT_EQ(traffic.reply_timeouts.load(), 5u);
}

TEST(SendCommand, TimeoutResetsWhenAReplyComes) {
    EngineFixture f;
    std::atomic<bool> answer{false};
    ScriptedLink link(f.Context(), LinkKind::kTcp, [&](const std::string&) {
        return answer ? std::string("RE002ok") : std::string();
    });
    for (int i = 0; i < 3; ++i) InternalCommand(link, "print,x", 20);
    answer = true;
    EXPECT_TRUE(InternalCommand(link, "print,x", 2000));
    answer = false;
    for (int i = 0; i < 3; ++i) InternalCommand(link, "print,x", 20);
    EXPECT_EQ(link.stop, 0);
}

TEST(SendCommand, SendersQueuedBehindATimeoutFailWithoutSending) {
    EngineFixture f;
    ScriptedLink link(f.Context(), LinkKind::kCom, nullptr);
    // A second sender is counted while the first times out: it fails at once, unsent.
    ++link.sender_count;
    EXPECT_FALSE(InternalCommand(link, "print,x", 20));
    EXPECT_EQ(link.reply_state, 0);
    EXPECT_FALSE(InternalCommand(link, "print,y", 20));
    EXPECT_EQ(link.last_reply, kReplyTimeout);
    EXPECT_EQ(link.Written().size(), 1u);
    EXPECT_NE(f.LogText().find("ReReply receiver=Base1 print,y"), std::string::npos);
    --link.sender_count;
}

// ---- scripts ------------------------------------------------------------------------------

std::string AnswerErrorToSet(const std::string& line) {
    return line.rfind("set,", 0) == 0 ? std::string("ER003bad") : std::string("RE002ok");
}

TEST(Script, StopErrorsHeaderAndLowerCasing) {
    EngineFixture f;
    ScriptedLink link(f.Context(), LinkKind::kCom, AnswerErrorToSet);
    std::string out;
    EXPECT_EQ(RunScript(link, "@scr stoperrors\nprint,/par/rcvid\nset,x,y\nprint,a\n@end\n", &out),
              0u);
    EXPECT_EQ(link.Written().size(), 2u);  // ended at the first failure
    EXPECT_EQ(out, "RE002ok\nER003bad\n");

    // Without stoperrors every line runs; comments and what follows @end do not.
    ScriptedLink every(f.Context(), LinkKind::kCom, AnswerErrorToSet);
    EXPECT_EQ(
        RunScript(every, "@scr\nprint,/par/rcvid\nSET,X,Y\n# note\nprint,a\n@end\nprint,b\n", &out),
        3u);
    ASSERT_EQ(every.Written().size(), 3u);
    EXPECT_EQ(every.Written()[1].substr(0, 8), "set,x,y@");  // lower-cased

    ScriptedLink headless(f.Context(), LinkKind::kCom, nullptr);
    EXPECT_EQ(RunScript(headless, "print,a\n@end\n", &out), 0u);
    EXPECT_TRUE(headless.Written().empty());
}

// ---- error totals -------------------------------------------------------------------------

TEST(DevError, TotalKeepsCountingPast256) {
    EngineFixture f;
    TempStore db;
    ConfigStore& store = *db.store;
    store.WriteNumber("Receivers\\Base1", "DevError", 200);
    {
        ReceiverContext c = f.Context();
        c.store = &store;
        c.receivers_path = "Receivers\\";
        ScriptedLink link(c, LinkKind::kCom, nullptr);
        link.error_count = 100;
    }
    EXPECT_EQ(store.ReadNumber("Receivers\\Base1", "DevError", 0), 300u);
}

}  // namespace
}  // namespace orvana::test
