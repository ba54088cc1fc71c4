// The delivery in one process: the frames of each read, decimation, who gets a frame, the log
// before the first output, and a client that stops reading.

#include <gtest/gtest.h>

#include <cstring>

#include "core/server_frames.h"
#include "platform/clock.h"
#include "tests/support/stream_rig.h"

namespace orvana {
namespace {

using test::Container;
using test::StreamRig;

std::string Expected(uint16_t type, uint8_t handle, const std::string& payload) {
    std::string frame(FrameSize(payload.size()), '\0');
    BuildServerFrame(frame.data(), type, handle, 0, payload.data(), payload.size());
    return frame;
}

TEST(StreamsDeliver, FramesOfEachReadArriveWholeAndInOrder) {
    StreamRig rig;
    auto* c = rig.AddClient("0,RT,SI");
    ASSERT_NE(c, nullptr);
    const std::string si = "0000000001 0000000001 jps/SI";
    const std::string rt = "RT payload";
    const std::string split = Container(1, "split over two reads");
    // Three containers in one read, the last one's head only; its rest in the next read.
    rig.Feed(Container(5, si) + Container(1, rt) + split.substr(0, 9));
    for (const auto& want : {Expected(0x106, 1, si), Expected(0x102, 1, rt)}) {
        auto frame = StreamRig::ReadFrame(*c->peer);
        ASSERT_TRUE(frame);
        EXPECT_EQ(*frame, want);
    }
    EXPECT_FALSE(StreamRig::ReadFrame(*c->peer, 200)) << "a frame before its container is whole";
    rig.Feed(split.substr(9));
    auto frame = StreamRig::ReadFrame(*c->peer);
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, Expected(0x102, 1, "split over two reads"));
    EXPECT_EQ(c->attachment->bytes_sent, si.size() + rt.size() + 20);

    // A frame queued in a read whose send passed the attachment by (it was out of the stream
    // then) is stale: the next read's frames go without it.
    const std::string stale = Container(1, "stale");
    DeliverContainer(rig.receiver(), reinterpret_cast<const uint8_t*>(stale.data()), stale.size());
    rig.Feed(Container(1, "fresh"));
    frame = StreamRig::ReadFrame(*c->peer);
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, Expected(0x102, 1, "fresh"));
    EXPECT_FALSE(StreamRig::ReadFrame(*c->peer, 200));
}

TEST(StreamsDeliver, EachClientAtItsPeriodAndWlWithEveryContainer) {
    StreamRig rig;
    auto* slow = rig.AddClient("0,RT:1");
    auto* fast = rig.AddClient("0,RT:0.5");
    auto* wl = rig.AddClient("0,WL");
    ASSERT_TRUE(slow && fast && wl);
    EXPECT_EQ(rig.receiver().output.Period(1), 5u);
    EXPECT_EQ(rig.receiver().output.OutputList(), "jps/RT:{0.5,0,-2},");
    std::string stream;
    for (int i = 1; i <= 10; ++i) {
        stream += Container(1, "RT" + std::to_string(i));
        stream += Container(0, "WL" + std::to_string(i));
    }
    rig.Feed(stream);
    auto count = [](StreamRig::Client& c) {
        std::vector<std::string> got;
        while (auto f = StreamRig::ReadFrame(*c.peer, 300))
            got.push_back(f->substr(4, 3) + ":" + f->substr(11, f->size() - 16));
        return got;
    };
    EXPECT_EQ(count(*fast).size(), 10u);
    const auto slow_got = count(*slow);
    ASSERT_EQ(slow_got.size(), 5u);
    EXPECT_EQ(slow_got[0], "102:RT2");
    EXPECT_EQ(slow_got[4], "102:RT10");
    const auto wl_got = count(*wl);
    ASSERT_EQ(wl_got.size(), 10u);
    EXPECT_EQ(wl_got[0], "101:WL1");
}

TEST(StreamsDeliver, ClientsOnOtherHandlesGetTheSameReadAddressedToTheirOwn) {
    StreamRig rig;
    auto* first = rig.AddClient("0,RT,SI");
    auto* second = rig.AddClient("0,RT,SI");
    auto* other = rig.AddClient("0,RT,SI", 5);
    auto* fewer = rig.AddClient("0,SI", 5);
    ASSERT_TRUE(first && second && other && fewer);
    rig.Feed(Container(1, "rt-a") + Container(5, "si-a") + Container(1, "rt-b"));
    auto frames = [](StreamRig::Client& c) {
        std::vector<std::string> got;
        while (auto f = StreamRig::ReadFrame(*c.peer, 300)) got.push_back(*f);
        return got;
    };
    for (auto* c : {first, second})
        EXPECT_EQ(frames(*c),
                  (std::vector<std::string>{Expected(0x102, 1, "rt-a"), Expected(0x106, 1, "si-a"),
                                            Expected(0x102, 1, "rt-b")}));
    EXPECT_EQ(frames(*other),
              (std::vector<std::string>{Expected(0x102, 5, "rt-a"), Expected(0x106, 5, "si-a"),
                                        Expected(0x102, 5, "rt-b")}));
    EXPECT_EQ(frames(*fewer), (std::vector<std::string>{Expected(0x106, 5, "si-a")}));
    EXPECT_EQ(second->attachment->bytes_sent, 12u);
    EXPECT_EQ(fewer->attachment->bytes_sent, 4u);
}

TEST(StreamsDeliver, FramesGoOnlyToTheSessionStillHoldingTheAttachment) {
    StreamRig rig;
    auto* a = rig.AddClient("0,RT");
    auto* b = rig.AddClient("0,RT");
    ASSERT_TRUE(a && b);
    // a's attachment was closed (its handle may hold another one now) while still subscribed.
    {
        std::lock_guard<platform::RecursiveLock> att(rig.receiver().attachment_lock);
        a->attachment->held = false;
    }
    a->session->handle_table[1] = std::make_shared<Attachment>();
    rig.Feed(Container(1, "one"));
    EXPECT_FALSE(StreamRig::ReadFrame(*a->peer, 300));
    EXPECT_TRUE(StreamRig::ReadFrame(*b->peer, 2000));
    EXPECT_EQ(a->attachment->bytes_sent, 0u);
}

TEST(StreamsDeliver, UnaskedContainersAreLoggedOnlyBeforeTheFirstOutput) {
    StreamRig rig;
    rig.Feed(Container(3, "0123456789 before"));
    rig.Feed(Container(3, "01234~~ quiet"));  // "~~" at offsets 11 and 12 of the container
    rig.receiver().output_active = 1;
    rig.Feed(Container(3, "0123456789 after"));
    const std::string log = rig.LogText();
    EXPECT_NE(log.find("Base1 Don't find client 0123456789 before"), std::string::npos) << log;
    EXPECT_EQ(log.find("quiet"), std::string::npos);
    EXPECT_EQ(log.find("after"), std::string::npos);
}

TEST(StreamsDeliver, AFloodOfUnaskedOrBadContainersIsLoggedOnceThenCounted) {
    StreamRig rig;
    std::string unasked, bad;
    for (int i = 0; i < 300; ++i) {
        unasked += Container(3, "0123456789 unasked " + std::to_string(i));
        std::string c = Container(3, "0123456789 bad " + std::to_string(i));
        c.back() = c.back() == '0' ? '1' : '0';
        bad += c;
    }
    rig.Feed(unasked);
    rig.Feed(bad);
    const std::string log = rig.LogText();
    EXPECT_EQ(test::CountOf(log, "Base1 Don't find client "), 1u);
    EXPECT_EQ(test::CountOf(log, "Base1 Bad checksum "), 1u);
}

TEST(RepeatedLines, HeldBackLinesAreCountedOncePerMinuteAndAtTheEnd) {
    RepeatedLines lines;
    std::string summary;
    EXPECT_TRUE(lines.Admit("Base1 Bad checksum ", 0, &summary));
    for (uint32_t t : {10u, 20u, 59999u})
        EXPECT_FALSE(lines.Admit("Base1 Bad checksum ", t, &summary));
    EXPECT_TRUE(lines.Admit("Base1 Don't find client ", 30, &summary));
    EXPECT_EQ(summary, "");
    EXPECT_TRUE(lines.Admit("Base1 Bad checksum ", 60000, &summary));
    EXPECT_EQ(summary, "Base1 Bad checksum... repeated 3 times");
    EXPECT_TRUE(lines.Flush().empty());
    EXPECT_FALSE(lines.Admit("Base1 Bad checksum ", 60001, &summary));
    EXPECT_EQ(lines.Flush(), std::vector<std::string>{"Base1 Bad checksum... repeated 1 times"});
}

TEST(StreamsDeliver, AClientThatStopsReadingIsCutOffAtItsBoundAndNeverHoldsUpTheReader) {
    QueueBounds bounds;
    bounds.max_bytes = 256 * 1024;
    StreamRig rig(bounds);
    auto* stuck = rig.AddClient("0,RT");
    auto* reader = rig.AddClient("0,RT", 3);
    ASSERT_TRUE(stuck && reader);
    const std::string big = Container(1, std::string(4000, 'x'));
    uint32_t longest = 0;
    size_t read = 0;
    for (int i = 0; i < 400 && !stuck->session->lost; ++i) {
        const uint32_t start = platform::TickCount();
        rig.Feed(big);
        longest = std::max(longest, platform::TickCount() - start);
        if (StreamRig::ReadFrame(*reader->peer, 2000)) ++read;
    }
    ASSERT_TRUE(stuck->session->lost);
    EXPECT_FALSE(stuck->session->IsOpen());
    const CutOffReport cut = stuck->session->outgoing.cut_off_report();
    EXPECT_EQ(cut.error, 10055);
    EXPECT_GT(cut.waiting, 0u);
    EXPECT_LE(cut.waiting, bounds.max_bytes);
    // What was queued at the cut and the read that did not fit: nothing of it was sent.
    EXPECT_GE(stuck->session->outgoing.dropped_bytes(), cut.waiting + big.size());
    // A feed never waits for a client (generous: a loaded machine may stall any thread).
    EXPECT_LT(longest, 1000u);

    // The reader got every frame before the cut and gets every one after it.
    for (int i = 0; i < 2; ++i) rig.Feed(big);
    const size_t fed = read + 2;
    while (read < fed && StreamRig::ReadFrame(*reader->peer, 2000)) ++read;
    EXPECT_EQ(read, fed);
    EXPECT_FALSE(reader->session->lost);
    EXPECT_EQ(reader->session->outgoing.dropped_bytes(), 0u);
}

}  // namespace
}  // namespace orvana
