// Data streams through the server binary: clients attach to messages of one simulated receiver
// on a pseudo-terminal and each gets its own messages at its own period.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "tests/streams_harness.h"

namespace orvana {
namespace {

using test::DataFrame;
using test::SinceLastRestart;
using test::Steps;
using test::StreamClient;

class Streams : public test::StreamsFixture {};

TEST_F(Streams, TwoClientsGetOneMessageEachAtItsOwnPeriod) {
    Start();
    auto ann = Client("ann");
    auto bob = Client("bob");
    auto f = ann->Call("Attach 0,RT:1");
    EXPECT_EQ(Text(f), "RE:OK.");
    EXPECT_EQ(f->code, 1u);
    ASSERT_GE(ann->ReadData(3), 3u);
    EXPECT_EQ(Text(bob->Call("Attach 0,RT:0.5")), "RE:OK.");
    // One receiver output at the faster period serves both.
    EXPECT_EQ(LastEmCommands(), std::vector<std::string>{"jps/RT:{0.5,0,-2}"});

    ASSERT_GE(bob->ReadData(40), 40u);
    ann->ReadFor(300);
    const auto fast = SinceLastRestart(bob->data(), "jps/RT");
    const auto slow = SinceLastRestart(ann->data(), "jps/RT");
    ASSERT_GE(fast.size(), 30u);
    ASSERT_GE(slow.size(), 12u);
    // Every container to the faster client, every second one to the slower; no gap, no repeat.
    EXPECT_EQ(Steps(fast), std::set<uint32_t>{1});
    EXPECT_EQ(Steps(slow), std::set<uint32_t>{2});
    for (const DataFrame& d : fast) {
        EXPECT_EQ(d.type, 0x102u);
        EXPECT_EQ(d.handle, 1u);
        EXPECT_TRUE(d.checksum_ok);
    }
}

TEST_F(Streams, FrameTypesFollowGroupAndIndexAndWlAddsNoItem) {
    Start();
    auto ann = Client("ann");
    auto bob = Client("bob");
    EXPECT_EQ(Text(ann->Call("Attach 0,SI")), "RE:OK.");
    EXPECT_EQ(Text(bob->Call("Attach 2,GGA")), "RE:OK.");
    // A group without items yet goes to the front of the list.
    EXPECT_EQ(LastEmCommands(), std::vector<std::string>{"nmea/GGA:{1.0,0,-13},jps/SI:{1.0,0,-6}"});
    ASSERT_GE(ann->ReadData(3), 3u);
    ASSERT_GE(bob->ReadData(3), 3u);
    for (const DataFrame& d : ann->data()) {
        EXPECT_EQ(d.type, 0x106u);  // index 5 of "jps/"
        EXPECT_EQ(d.name, "jps/SI");
        EXPECT_EQ(d.length, d.payload_length + 16);
        EXPECT_TRUE(d.checksum_ok);
    }
    for (const DataFrame& d : bob->data()) {
        EXPECT_EQ(d.type, 0x30Du);  // index 12, the first of "nmea/"
        EXPECT_EQ(d.name, "nmea/GGA");
    }

    // "WL" is index 0: no item for it (what it receives is the in-process delivery's test).
    auto carol = Client("ann");
    EXPECT_EQ(Text(ann->Call("Detach 4")), "RE:OK.");
    EXPECT_EQ(Text(bob->Call("Detach 4")), "RE:OK.");
    EXPECT_EQ(Text(carol->Call("Attach 0,WL")), "RE:OK.");
    EXPECT_TRUE(LastEmCommands().empty());
    EXPECT_TRUE(carol->data().empty());
}

TEST_F(Streams, LongListIsProgrammedInPiecesEachEndingInABrace) {
    Start();
    auto ann = Client("ann");
    EXPECT_EQ(Text(ann->Call("Attach 0,RT,PO,VE,PV,SI,ET,EL,AZ")), "RE:OK.");
    const std::vector<std::string> ems = LastEmCommands();
    ASSERT_GE(ems.size(), 2u);
    std::string joined;
    for (const std::string& e : ems) {
        EXPECT_LE(e.size(), 116u) << e;
        EXPECT_EQ(e.back(), '}') << e;
        joined += (joined.empty() ? "" : ",") + e;
    }
    const char* names[] = {"RT", "PO", "VE", "PV", "SI", "ET", "EL", "AZ"};
    std::string expected;
    for (int i = 0; i < 8; ++i)
        expected += std::string(i ? "," : "") + "jps/" + names[i] + ":{1.0,0,-" +
                    std::to_string(i + 2) + "}";
    EXPECT_EQ(joined, expected);
    // The receiver took every piece: all eight messages arrive.
    std::set<std::string> seen;
    for (int round = 0; round < 20 && seen.size() < 8; ++round) {
        ann->ReadData(ann->data().size() + 8, 5);
        for (const DataFrame& d : ann->data()) seen.insert(d.name);
    }
    EXPECT_EQ(seen.size(), 8u);
}

TEST_F(Streams, RepeatedNameKeepsTheLastPeriodAndAnOutOfRangePeriodBecomesOneSecond) {
    Start();
    auto ann = Client("ann");
    // The period error is noted but not passed on: the request succeeds at 1 s.
    EXPECT_EQ(Text(ann->Call("Attach 0,RT:0.5,RT:2,PO:7000")), "RE:OK.");
    EXPECT_EQ(LastEmCommands(), std::vector<std::string>{"jps/RT:{2.0,0,-2},jps/PO:{1.0,0,-3}"});
}

TEST_F(Streams, DetachAllLeavesTheOtherClientsListAndALostLineEndsInANoticeToEach) {
    Start();
    auto ann = Client("ann");
    auto bob = Client("bob");
    EXPECT_EQ(Text(ann->Call("Attach 0,RT")), "RE:OK.");
    EXPECT_EQ(Text(bob->Call("Attach 2,GGA")), "RE:OK.");
    EXPECT_EQ(Text(ann->Call("Detach 5")), "ER:Unable type msg");
    auto f = ann->Call("Detach 4");
    EXPECT_EQ(Text(f), "RE:OK.");
    EXPECT_EQ(f->code, 1u);
    EXPECT_EQ(LastEmCommands(), std::vector<std::string>{"nmea/GGA:{1.0,0,-13}"});
    // A second removal finds no slot.
    EXPECT_EQ(Text(ann->Call("Detach 4")), "ER:Unable receiver!");

    ann->ReadFor(300);
    ann->data().clear();
    bob->data().clear();
    ann->ReadFor(1000);
    EXPECT_TRUE(ann->data().empty());
    ASSERT_GE(bob->ReadData(5), 5u);
    for (const DataFrame& d : bob->data()) EXPECT_EQ(d.name, "nmea/GGA");

    // A lost line ends in the notice for every client that has the receiver open.
    sim_.process().Signal(9);
    ASSERT_TRUE(sim_.process().Wait(5000));
    ASSERT_TRUE(server_.WaitForLog("line lost", 10000));
    for (StreamClient* c : {ann.get(), bob.get()}) {
        auto notice = c->WaitNotice(0xC00, 20);
        ASSERT_TRUE(notice) << "no connection-lost notice";
        EXPECT_EQ(notice->data, "ER:Connection lost to receiver:Base1");
        EXPECT_EQ(notice->handle, 1u);
    }
    EXPECT_TRUE(server_.WaitForLog("Clear all resource use receiver=Base1"));
    // The handles were closed with the receiver.
    EXPECT_EQ(Text(ann->Call("Detach 4")), "ER:Receiver not open!");
}

TEST_F(Streams, UnknownNameEmptiesTheSlotUntilALaterAttachSucceeds) {
    Start();
    auto ann = Client("ann");
    auto bob = Client("bob");
    EXPECT_EQ(Text(ann->Call("Attach 0,RT")), "RE:OK.");
    EXPECT_EQ(Text(bob->Call("Attach 0,RT")), "RE:OK.");
    ASSERT_GE(ann->ReadData(2), 2u);
    EXPECT_EQ(Text(ann->Call("Attach 0,XX:1")), "ER:Unable message - XX");
    // Its messages stay in the list, but it gets none of them.
    EXPECT_EQ(LastEmCommands(), std::vector<std::string>{"jps/RT:{1.0,0,-2}"});
    ann->ReadFor(300);
    ann->data().clear();
    bob->data().clear();
    ann->ReadFor(1000);
    EXPECT_TRUE(ann->data().empty());
    EXPECT_GE(bob->ReadData(3), 3u);

    EXPECT_EQ(Text(ann->Call("Attach 0,PO")), "RE:OK.");
    std::set<std::string> seen;
    for (int round = 0; round < 10 && seen.size() < 2; ++round) {
        ann->ReadData(ann->data().size() + 2, 5);
        for (const DataFrame& d : ann->data()) seen.insert(d.name);
    }
    EXPECT_EQ(seen, (std::set<std::string>{"jps/RT", "jps/PO"}));
}

TEST_F(Streams, ClientThatStopsReadingIsCutOffWhileTheOtherGetsEverything) {
    // The smallest queue a client may have: the cut comes within seconds.
    server_.store().WriteNumber(cfg::kActiveKey, cfg::kClientQueueBytes.name, 1);
    Start({"--payload-size", "4000"});
    auto ann = Client("ann");
    auto bob = Client("bob");
    // 4000 bytes every 20 ms: a client that does not read fills its socket at once.
    EXPECT_EQ(Text(ann->Call("Attach 0,RT:0.2")), "RE:OK.");
    EXPECT_EQ(Text(bob->Call("Attach 0,RT:0.2")), "RE:OK.");
    ASSERT_GE(bob->ReadData(300, 60), 300u);
    EXPECT_TRUE(server_.WaitForLog("ER:ann/tests(", 20000)) << server_.LogText();
    EXPECT_TRUE(server_.WaitForLog("from Read/Write Socket reply 10055 (", 1000));
    EXPECT_TRUE(ann->raw().WaitClosed(20));

    // Nothing lost or repeated for the reader since the output was last programmed (the cut-off
    // client's close re-sends the list), and its frames never stopped for long.
    ASSERT_GE(bob->ReadData(bob->data().size() + 100, 30), 400u);
    const auto frames = SinceLastRestart(bob->data(), "jps/RT");
    ASSERT_GE(frames.size(), 50u);
    EXPECT_EQ(Steps(frames), std::set<uint32_t>{1});
    uint32_t longest = 0;
    const auto& all = bob->data();
    for (size_t i = 1; i < all.size(); ++i)
        longest = std::max(longest, all[i].arrived - all[i - 1].arrived);
    // Far below the 5 s a send to the stuck client could wait before.
    EXPECT_LT(longest, 3000u);
}

TEST_F(Streams, NamesPastTheTableAndAnOverlongListAreRefusedCleanly) {
    std::string names;
    for (int i = 0; i < 300; ++i) {
        char n[16];
        std::snprintf(n, sizeof n, "jps/N%03d\n", i);
        names += n;
    }
    const std::string file = server_.home() + "/names.txt";
    test::WriteFile(file, names);
    Start({"--messages", file});
    auto ann = Client("ann");
    // Entry 0 is WL: N000 to N254 fill the table, the last 45 have no index.
    EXPECT_TRUE(server_.WaitForLog("Message table full: 45 names"));
    EXPECT_EQ(Text(ann->Call("Attach 0,N299")), "ER:Message table full, no index for jps/N299");

    std::string many = "Attach 0,N000";
    for (int i = 1; i < 200; ++i) {
        char n[8];
        std::snprintf(n, sizeof n, ",N%03d", i);
        many += n;
    }
    EXPECT_EQ(Text(ann->Call(many)), "ER:Too many messages for the receiver's output list");
    EXPECT_TRUE(LastEmCommands().empty());

    // Nothing was left behind: the next request works as usual.
    EXPECT_EQ(Text(ann->Call("Attach 0,N100")), "RE:OK.");
    EXPECT_EQ(LastEmCommands(), std::vector<std::string>{"jps/N100:{1.0,0,-102}"});
    ASSERT_GE(ann->ReadData(2), 2u);
    EXPECT_EQ(ann->data()[0].type, 0x166u);
    EXPECT_EQ(ann->data()[0].name, "jps/N100");
}

TEST_F(Streams, OrvanacliClientsEachReceiveTheirOwnStream) {
    Start();
    auto run = [&](platform::Subprocess& p, const std::string& group, const std::string& list,
                   const std::string& out) {
        std::string error;
        EXPECT_TRUE(
            p.Start({test::ProgramPath("orvanacli"), "--port", std::to_string(server_.port()),
                     "--user", "ann", "--password", "secret", "attach", "Base1", group, list,
                     "--seconds", "4", "--out", out},
                    &error))
            << error;
    };
    platform::Subprocess a, b;
    const std::string out_a = server_.home() + "/a.bin", out_b = server_.home() + "/b.bin";
    run(a, "jps", "RT:0.5", out_a);
    run(b, "nmea", "GGA", out_b);
    for (platform::Subprocess* p : {&a, &b}) {
        while (p->ReadLine(20000)) {
        }
        EXPECT_EQ(p->Wait(20000), std::optional<int>(0)) << p->Stderr();
    }
    using test::CountOf;
    const std::string got_a = test::ReadFile(out_a), got_b = test::ReadFile(out_b);
    EXPECT_GE(CountOf(got_a, "jps/RT"), 10u);
    EXPECT_EQ(CountOf(got_a, "nmea/"), 0u);
    EXPECT_GE(CountOf(got_b, "nmea/GGA"), 5u);
    EXPECT_EQ(CountOf(got_b, "jps/"), 0u);
    // Each detached at its end: the receiver's list is empty again.
    EXPECT_TRUE(server_.WaitForLog("Rcv=1 Detach 4"));
}

}  // namespace
}  // namespace orvana
