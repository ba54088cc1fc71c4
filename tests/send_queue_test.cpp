// A client's send queue on its own: order and partial sends across pieces, both bounds, and a
// cut that comes while the writer is still sending from the queue.

#include "core/send_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/client_writer.h"
#include "platform/clock.h"
#include "platform/env.h"

namespace orvana {
namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

// The clock the queue's ages are measured on, moved by the test.
class SteppedClock : public platform::EnvWrapper {
  public:
    uint64_t MonotonicMs() override { return now_; }
    void Advance(uint64_t ms) { now_ += ms; }

  private:
    std::atomic<uint64_t> now_{1000};
};

class SendQueueTest : public ::testing::Test {
  protected:
    void Register(size_t max_bytes, uint32_t max_age_ms = 30000) {
        queue_.SetWriter(&writer_, 1, QueueBounds{max_bytes, max_age_ms});
    }
    // Everything Gather offers now, as one string.
    std::string Offered(size_t budget = 1 << 20) {
        platform::ByteSpan spans[platform::kMaxGatheredSpans];
        const size_t n = queue_.Gather(spans, platform::kMaxGatheredSpans, budget);
        std::string out;
        for (size_t i = 0; i < n; ++i)
            out.append(static_cast<const char*>(spans[i].data), spans[i].size);
        return out;
    }

    SteppedClock clock_;
    platform::ScopedEnv scoped_{clock_};
    ClientWriter writer_;  // never started: the queue only schedules itself with it
    SendQueue queue_;
};

TEST_F(SendQueueTest, PartialSendsTakeThePiecesInOrderAndTheirBytesOnce) {
    EXPECT_EQ(queue_.Queue(Bytes("abc")), SendQueue::Push::kRefused) << "no writer yet";
    Register(1000);
    for (const char* piece : {"abc", "defg", "h"})
        ASSERT_EQ(queue_.Queue(Bytes(piece)), SendQueue::Push::kQueued);
    EXPECT_EQ(queue_.queued_bytes(), 8u);
    EXPECT_EQ(Offered(), "abcdefgh");
    queue_.Sent(5);
    EXPECT_EQ(queue_.queued_bytes(), 3u);
    EXPECT_EQ(Offered(), "fgh");
    queue_.Sent(1);
    EXPECT_EQ(Offered(), "gh");
    queue_.Sent(2);
    EXPECT_EQ(queue_.queued_bytes(), 0u);
    EXPECT_EQ(Offered(), "");
    queue_.Sent(0);
    EXPECT_TRUE(queue_.AwaitAtMost(0, 0));
    EXPECT_EQ(queue_.dropped_bytes(), 3u) << "the piece refused before the writer came";
}

TEST_F(SendQueueTest, PastTheByteBoundTheQueueIsDroppedAndRefusesFromThenOn) {
    Register(10);
    ASSERT_EQ(queue_.Queue(Bytes("123456")), SendQueue::Push::kQueued);
    EXPECT_EQ(queue_.Queue(Bytes("7890!")), SendQueue::Push::kOverBound);
    EXPECT_TRUE(queue_.cut_off());
    const CutOffReport cut = queue_.cut_off_report();
    EXPECT_EQ(cut.error, 10055);
    EXPECT_EQ(cut.waiting, 6u);
    EXPECT_EQ(queue_.queued_bytes(), 0u);
    EXPECT_EQ(queue_.Queue(Bytes("late")), SendQueue::Push::kRefused);
    EXPECT_EQ(queue_.dropped_bytes(), 6u + 5u + 4u);
    EXPECT_FALSE(queue_.CutOff(10054, 0)) << "only the first cut counts";
    EXPECT_EQ(queue_.cut_off_report().error, 10055);
    EXPECT_FALSE(queue_.AwaitAtMost(0, 0));
}

TEST_F(SendQueueTest, AByteThatWaitedPastTheAgeBoundCutsTheQueueOff) {
    Register(1000, 3000);
    ASSERT_EQ(queue_.Queue(Bytes("old")), SendQueue::Push::kQueued);
    clock_.Advance(2000);
    ASSERT_EQ(queue_.Queue(Bytes("newer")), SendQueue::Push::kQueued);
    EXPECT_EQ(queue_.OldestAge(platform::TickCount()), 2000u);
    // Sending part of the oldest piece does not make it younger.
    Offered();
    queue_.Sent(2);
    clock_.Advance(1500);
    EXPECT_EQ(queue_.Queue(Bytes("x")), SendQueue::Push::kOverBound);
    EXPECT_EQ(queue_.cut_off_report().error, 10060);
    EXPECT_EQ(queue_.cut_off_report().oldest_ms, 3500u);
    EXPECT_EQ(queue_.cut_off_report().waiting, 1u + 5u);
}

TEST_F(SendQueueTest, AByteQueuedAfterTheSweepReadTheClockHasNotWaited) {
    Register(1000, 3000);
    // The writer's sweep reads the clock, then a reader queues a frame before the sweep gets to
    // this queue: before, the frame counted as 49 days old and a healthy client was cut off.
    const uint32_t swept_at = platform::TickCount();
    clock_.Advance(1);
    ASSERT_EQ(queue_.Queue(Bytes("fresh")), SendQueue::Push::kQueued);
    EXPECT_EQ(queue_.OldestAge(swept_at), 0u);
    EXPECT_TRUE(queue_.CutOff(10060, swept_at));
    EXPECT_EQ(queue_.cut_off_report().oldest_ms, 0u);
}

TEST_F(SendQueueTest, ACutWhileTheWriterSendsKeepsItsBytesUntilTheSendIsOver) {
    Register(100);
    ASSERT_EQ(queue_.Queue(Bytes(std::string(60, 'a'))), SendQueue::Push::kQueued);
    platform::ByteSpan spans[platform::kMaxGatheredSpans];
    ASSERT_EQ(queue_.Gather(spans, platform::kMaxGatheredSpans, 1 << 20), 1u);
    // A producer passes the bound while the writer is in the middle of its send.
    EXPECT_EQ(queue_.Queue(Bytes(std::string(60, 'b'))), SendQueue::Push::kOverBound);
    // What the writer was given is still there to read (AddressSanitizer watches this).
    EXPECT_EQ(std::string(static_cast<const char*>(spans[0].data), spans[0].size),
              std::string(60, 'a'));
    queue_.Sent(60);
    EXPECT_EQ(queue_.queued_bytes(), 0u);
    EXPECT_EQ(Offered(), "");
}

TEST_F(SendQueueTest, AWaiterForRoomWakesWhenTheWriterSendsOrTheQueueIsCut) {
    Register(1000);
    ASSERT_EQ(queue_.Queue(Bytes(std::string(500, 'a'))), SendQueue::Push::kQueued);
    EXPECT_FALSE(queue_.AwaitAtMost(100, 0));
    std::thread writer([&] {
        Offered();
        queue_.Sent(450);
    });
    EXPECT_TRUE(queue_.AwaitAtMost(100, 60000));
    writer.join();
    std::thread cutter([&] { queue_.CutOff(10054, 0); });
    EXPECT_FALSE(queue_.AwaitAtMost(0, 60000));
    cutter.join();
}

}  // namespace
}  // namespace orvana
