// Every frame to a client waits in the client's own bounded queue: the server binary and a
// flooding orvanasim receiver on TCP, with clients that stop reading, that read, and that ask
// while the data floods in.

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/ntrip_harness.h"
#include "tests/streams_harness.h"
#include "tests/tcp_link_harness.h"

namespace orvana {
namespace {

using test::DataFrame;
using test::StreamClient;
using test::Text;

// Sequence numbers of `name` that were skipped (a restart from 1 after the output was
// programmed again is no gap).
size_t Gaps(const std::vector<DataFrame>& frames, const std::string& name) {
    size_t gaps = 0;
    uint32_t last = 0;
    for (const DataFrame& d : frames) {
        if (d.name != name) continue;
        if (last != 0 && d.sequence != last + 1 && d.sequence != 1) ++gaps;
        last = d.sequence;
    }
    return gaps;
}

class ClientQueues : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* user : {"ann", "bob", "cay"}) server_.AddUser(user, "secret", 4);
        ASSERT_TRUE(sim_.Start());
        test::AddTcpReceiver(server_.store(), "sim", "TCP 127.0.0.1", sim_.port());
    }
    void TearDown() override {
        Flood(false);
        server_.Stop();
    }
    std::unique_ptr<StreamClient> Attached(const std::string& user) {
        auto c = test::LoggedInStream(server_.port(), user);
        EXPECT_EQ(Text(c->Call("OpenRcv sim", 1, 30)), "RE:OK.");
        EXPECT_EQ(Text(c->Call("Attach 0,RT,PO", 1, 30)), "RE:OK.");
        return c;
    }
    void Flood(bool on) { sim_.process().Signal(on ? SIGUSR1 : SIGUSR2); }

    test::ServerProcess server_;
    test::SimReceiver sim_;
};

// Reads on its own thread until told to stop; the client is the thread's until then.
class Reader {
  public:
    explicit Reader(StreamClient& c)
        : thread_([this, &c] {
              c.ReadUntil(
                  [&] {
                      frames_ = c.data().size();
                      return stop_.load();
                  },
                  600000);
          }) {}
    ~Reader() { Stop(); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    size_t frames() const { return frames_; }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<size_t> frames_{0};
    std::thread thread_;
};

TEST_F(ClientQueues, AClientThatStopsReadingIsCutOffAtItsBoundWhileTheOthersGetEverything) {
    // A bound of 1 MB, so the cut comes early in the flood.
    server_.store().WriteNumber(cfg::kActiveKey, cfg::kClientQueueBytes.name, 1 << 20);
    test::EnableMetrics(server_.store());
    ASSERT_TRUE(server_.Start());
    auto ann = Attached("ann");
    auto bob = Attached("bob");
    auto cay = Attached("cay");
    {
        Reader bob_reads(*bob), cay_reads(*cay);
        Flood(true);
        EXPECT_TRUE(server_.WaitForLog("ER:ann/tests(", 30000)) << server_.LogText();
        // The others go on taking the flood after the cut.
        const size_t at_cut = bob_reads.frames();
        EXPECT_TRUE(test::WaitUntil([&] { return bob_reads.frames() > at_cut + 1000; }, 30000));
        Flood(false);
        platform::SleepMs(1000);
    }
    const std::string log = server_.LogText();
    EXPECT_EQ(test::CountOf(log, "ER:ann/"), 1u) << log;
    EXPECT_NE(log.find("from Read/Write Socket reply 10055 ("), std::string::npos) << log;
    EXPECT_TRUE(ann->raw().WaitClosed(30));
    for (StreamClient* c : {bob.get(), cay.get()}) {
        ASSERT_GT(c->data().size(), 1000u);
        for (const DataFrame& d : c->data()) ASSERT_TRUE(d.checksum_ok);
        EXPECT_EQ(Gaps(c->data(), "jps/RT"), 0u);
        EXPECT_EQ(Gaps(c->data(), "jps/PO"), 0u);
        EXPECT_EQ(Text(c->Call("Ping", 0, 10)), "RE:OK.");
    }
    EXPECT_EQ(test::CountOf(server_.LogText(), "from Read/Write Socket reply"), 1u);
    // The metrics count the cut once, and the flood the others took.
    const std::string scraped = test::ScrapeMetrics(server_);
    EXPECT_NE(scraped.find("\norvanasrv_cut_offs_total{class=\"client\"} 1\n"), std::string::npos)
        << scraped;
    EXPECT_EQ(scraped.find("\norvanasrv_sent_bytes_total{class=\"client\"} 0\n"),
              std::string::npos);

    // Its statistics record counts what never reached it, once.
    server_.Stop();
    const std::string statistics = test::ReadFile(server_.home() + "/orvanasrv.sta");
    EXPECT_EQ(test::CountOf(statistics, " Dropped = "), 1u) << statistics;
}

TEST_F(ClientQueues, RepliesAndDataFramesStayWholeAndInOrderUnderAFlood) {
    // Room for a reader slower than the other for the whole flood: nobody is cut off here.
    server_.store().WriteNumber(cfg::kActiveKey, cfg::kClientQueueBytes.name, 64u << 20);
    ASSERT_TRUE(server_.Start());
    auto ann = Attached("ann");
    auto bob = Attached("bob");
    Reader bob_reads(*bob);
    Flood(true);
    ASSERT_GE(ann->ReadData(1000, 30), 1000u);
    // Requests with replies of different lengths, each answered in turn between the data.
    for (int i = 0; i < 100; ++i) {
        const bool list = i % 2 == 0;
        auto f = ann->Call(list ? "GetRcvList" : "Ping", 0, 30);
        ASSERT_TRUE(f) << "request " << i << server_.LogText();
        EXPECT_EQ(f->data, list ? "RE:sim," : "RE:OK.") << "request " << i;
        EXPECT_EQ(f->raw.size(), f->length);
    }
    ASSERT_GE(ann->ReadData(ann->data().size() + 1000, 30), 2000u);
    Flood(false);
    bob_reads.Stop();
    for (StreamClient* c : {ann.get(), bob.get()}) {
        for (const DataFrame& d : c->data()) ASSERT_TRUE(d.checksum_ok);
        EXPECT_EQ(Gaps(c->data(), "jps/RT"), 0u);
        EXPECT_EQ(Gaps(c->data(), "jps/PO"), 0u);
    }
    EXPECT_EQ(server_.LogText().find("from Read/Write Socket reply"), std::string::npos)
        << server_.LogText();
}

}  // namespace
}  // namespace orvana
