// A TCP receiver that fails while clients hold it, through the server binary: one that goes
// silent is given up after four reply time-outs, one that closes its connection releases its
// clients at once; every client gets the connection-lost notice. Then sends that fail, in this
// process, where the reader thread can be held so that a write meets the broken connection
// first: the failure is reported once with the label, and the link is given up.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "links/tcp_link.h"
#include "platform/clock.h"
#include "tests/support/stream_rig.h"
#include "tests/tcp_link_harness.h"

namespace orvana {
namespace {

using test::FrameOfType;
using test::LoggedIn;
using test::Text;

constexpr unsigned kLostNotice = 0xC00;
const char* const kNotice = "ER:Connection lost to receiver:sim";

class TcpLost : public ::testing::Test {
  protected:
    void SetUp() override { server_.AddUser("ann", "secret", 4); }
    void TearDown() override { server_.Stop(); }
    // Three clients holding the receiver open, on handles 1, 2 and 1.
    void OpenThree(std::vector<std::string> env = {}) {
        ASSERT_TRUE(sim_.Start({"--login", "pw"}));
        test::AddTcpReceiver(server_.store(), "sim", "TCP 127.0.0.1", sim_.port(), "pw");
        ASSERT_TRUE(server_.Start(std::move(env)));
        for (size_t i = 0; i < 3; ++i) {
            const uint8_t h = Handle(i);
            clients_.push_back(LoggedIn(server_.port()));
            ASSERT_EQ(clients_.back()->Ask("OpenRcv sim", h, 30), "RE:OK.");
        }
    }

    static uint8_t Handle(size_t client) { return client == 1 ? 2 : 1; }

    test::ServerProcess server_;
    test::SimReceiver sim_;
    std::vector<std::unique_ptr<test::TestClient>> clients_;
};

TEST_F(TcpLost, SilentReceiverIsGivenUpAfterFourTimeoutsAndEveryClientNotified) {
    OpenThree({"ORVANA_COMMAND_REPLY_MS=300"});
    test::TestClient& ann = *clients_[0];
    EXPECT_EQ(ann.Ask("Command print,/par/rcv/model", 1, 30), "RE00ASIM-GNSS-1");
    ASSERT_TRUE(sim_.Freeze());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(ann.Ask("Command print,/par/rcv/model", 1, 30), "ER:Receiver reply timeout!");
    EXPECT_EQ(server_.LogText().find("Delete receiver:sim"), std::string::npos);

    // The fourth: the receiver is given up and its clients released.
    ASSERT_TRUE(ann.Request("Command print,/par/rcv/model", 1));
    for (size_t i = 0; i < clients_.size(); ++i) {
        auto f = FrameOfType(*clients_[i], kLostNotice, 30);
        ASSERT_TRUE(f) << "client " << i;
        EXPECT_EQ(f->data, kNotice);
        EXPECT_EQ(f->handle, Handle(i));
    }
    EXPECT_EQ(Text(ann.NextReply(30)), "ER:Receiver reply timeout!");
    EXPECT_TRUE(server_.WaitForLog("Delete receiver:sim"));
    EXPECT_TRUE(server_.WaitForLog("Clear all resource use receiver=sim"));
    EXPECT_TRUE(server_.WaitForLog("sim(TCP 127.0.0.1) thread terminated."));
    // The handles are free again.
    for (size_t i = 0; i < clients_.size(); ++i)
        EXPECT_EQ(clients_[i]->Ask("CloseRcv", Handle(i), 30), "ER:Receiver not open!");
}

TEST_F(TcpLost, ReceiverThatClosesItsConnectionReleasesItsClientsAtOnce) {
    OpenThree();
    const uint32_t start = platform::TickCount();
    sim_.Stop();
    // Nobody sends anything: without the link's own verdict the clients would wait for the
    // reply time-outs of commands they have not sent.
    for (size_t i = 0; i < clients_.size(); ++i) {
        auto f = FrameOfType(*clients_[i], kLostNotice, 10);
        ASSERT_TRUE(f) << "client " << i;
        EXPECT_EQ(f->data, kNotice);
        EXPECT_EQ(f->handle, Handle(i));
    }
    const uint32_t took = platform::TickCount() - start;
    RecordProperty("release_ms", static_cast<int>(took));
    EXPECT_TRUE(server_.WaitForLog("sim(TCP 127.0.0.1) connection closed by the receiver"));
    EXPECT_TRUE(server_.WaitForLog("sim(TCP 127.0.0.1) thread terminated."));
    EXPECT_EQ(clients_[0]->Ask("Command print,/par/rcv/model", 1, 30), "ER:Receiver not open!");

    // The receiver can be opened again once it is back (on another port: the old one lingers
    // in TIME_WAIT on the side that closed).
    test::SimReceiver again;
    ASSERT_TRUE(again.Start({"--login", "pw"}));
    server_.store().WriteNumber(std::string(cfg::kInterfaceKey) + "TCP 127.0.0.1", cfg::kPort.name,
                                again.port());
    EXPECT_EQ(clients_[0]->Ask("OpenRcv sim", 1, 60), "RE:OK.");
    EXPECT_EQ(clients_[0]->Ask("Command %Loop%", 1, 30), "RE006%Loop%");
}

// ---- failed sends, in this process ------------------------------------------------------------

using Delivery = std::function<void(Receiver&, const uint8_t*, size_t)>;

// Holds the reader thread in the delivery of its first container until released (bounded), so
// that the connection can break behind its back.
class DeliveryGate {
  public:
    Delivery Wrap(Delivery next) {
        return [this, next](Receiver& r, const uint8_t* container, size_t size) {
            {
                std::unique_lock<std::mutex> lock(mu_);
                if (!held_) {
                    held_ = true;
                    cv_.notify_all();
                    cv_.wait_for(lock, std::chrono::seconds(30), [this] { return released_; });
                }
            }
            if (next) next(r, container, size);
        };
    }
    bool WaitHeld() {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, std::chrono::seconds(10), [this] { return held_; });
    }
    void Release() {
        std::lock_guard<std::mutex> g(mu_);
        released_ = true;
        cv_.notify_all();
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool held_ = false;      // GUARDED_BY(mu_)
    bool released_ = false;  // GUARDED_BY(mu_)
};

const char* const kReportLine = "from Read/Write Socket reply";

class TcpWriteFails : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sim_.Start());
        ASSERT_TRUE(relay_.Start(sim_.port()));
        // The server's receiver, reached through the relay.
        test::AddTcpReceiver(local_.store(), "sim", "TCP 127.0.0.1", relay_.port());
        ASSERT_NE(local_.Start(), nullptr);
    }
    void TearDown() override {
        gate_.Release();
        link_.reset();
        local_.Stop();
    }
    // A link of the test's own, named "peer", to `port` (the server's "sim" stays closed, so
    // they may share the interface); its reader thread goes through the gate.
    TcpLink& OpenLink(uint16_t port) {
        test::AddTcpReceiver(local_.store(), "peer", "TCP 127.0.0.1", port);
        ReceiverContext c = local_.receivers().MakeContext();
        c.receiver_name = "peer";
        c.interface_name = "TCP 127.0.0.1";
        c.deliver = gate_.Wrap(nullptr);
        link_ = std::make_unique<TcpLink>(c, "127.0.0.1");
        EXPECT_EQ(link_->error_text, "");
        return *link_;
    }
    // The reader thread held in a container's delivery, and the connection then reset.
    void HoldReaderAndReset() {
        ASSERT_TRUE(relay_.Inject(test::Container(1, "held")));
        ASSERT_TRUE(gate_.WaitHeld());
        ASSERT_TRUE(relay_.Reset());
    }

    DeliveryGate gate_;
    test::SimReceiver sim_;
    test::TcpRelay relay_;
    test::LocalServer local_;
    std::unique_ptr<TcpLink> link_;
};

TEST_F(TcpWriteFails, CommandOnAResetConnectionFailsReportsOnceAndReleasesEveryClient) {
    ReceiverTable& table = local_.receivers();
    table.deliver = gate_.Wrap(table.deliver);
    const uint16_t port = local_.server().ListenPort();
    std::vector<std::unique_ptr<test::TestClient>> clients;
    for (uint8_t h : {1, 2}) {
        clients.push_back(LoggedIn(port));
        ASSERT_EQ(clients.back()->Ask("OpenRcv sim", h, 30), "RE:OK.");
    }
    test::TestClient& ann = *clients[0];
    ASSERT_EQ(ann.Ask("Command print,/par/rcv/model", 1, 30), "RE00ASIM-GNSS-1");

    ASSERT_NO_FATAL_FAILURE(HoldReaderAndReset());
    ASSERT_TRUE(ann.Request("Command print,/par/rcv/model", 1));
    // The failed send gives the receiver up at once: no reply time-out to wait for.
    for (size_t i = 0; i < clients.size(); ++i) {
        auto f = FrameOfType(*clients[i], kLostNotice, 10);
        ASSERT_TRUE(f) << "client " << i << "\n" << local_.LogText();
        EXPECT_EQ(f->data, kNotice);
        EXPECT_EQ(f->handle, i + 1);
    }
    // Closing the receiver waits for its reader, which is let go now.
    gate_.Release();
    EXPECT_EQ(Text(ann.NextReply(30)), "ER:Terminate connect Rcv=sim");
    EXPECT_TRUE(local_.WaitForLog("sim(TCP 127.0.0.1) thread terminated."));
    const std::string log = local_.LogText();
    EXPECT_EQ(test::CountOf(log, "ER:sim(TCP 127.0.0.1) from Read/Write Socket reply 10054"), 1u)
        << log;
    // The reader, let go onto the broken connection, adds nothing of its own.
    EXPECT_EQ(test::CountOf(log, kReportLine), 1u) << log;
    EXPECT_EQ(log.find("connection closed by the receiver"), std::string::npos) << log;
    EXPECT_EQ(clients[1]->Ask("Command print,/par/rcv/model", 2, 30), "ER:Receiver not open!");
}

TEST_F(TcpWriteFails, WritersMeetingAResetTogetherReportItOnce) {
    TcpLink& link = OpenLink(relay_.port());
    ASSERT_NO_FATAL_FAILURE(HoldReaderAndReset());
    constexpr int kWriters = 4;
    std::vector<uint32_t> results(kWriters, 0);
    std::vector<std::thread> writers;
    std::atomic<int> ready{0};
    for (int i = 0; i < kWriters; ++i) {
        writers.emplace_back([&, i] {
            ++ready;
            while (ready < kWriters) std::this_thread::yield();
            results[i] = link.Write("print,/par/rcvid\r\n", 18);
        });
    }
    for (auto& t : writers) t.join();
    for (uint32_t r : results) EXPECT_NE(r, 18u);
    EXPECT_EQ(static_cast<int>(link.stop.load()), 1);
    gate_.Release();
    EXPECT_TRUE(local_.WaitForLog("peer(TCP 127.0.0.1) thread terminated."));
    const std::string log = local_.LogText();
    EXPECT_EQ(test::CountOf(log, kReportLine), 1u) << log;
    EXPECT_EQ(test::CountOf(log, "ER:peer(TCP 127.0.0.1) from Read/Write Socket reply 10054"), 1u)
        << log;
}

TEST_F(TcpWriteFails, WriteToAReceiverThatStopsReadingFailsWithinTheSendLimitAndOnce) {
    TcpLink& link = OpenLink(sim_.port());
    // The connection stays up: the reader has nothing to notice, only the send can.
    ASSERT_TRUE(sim_.Freeze());
    const std::string lot(16u << 20, 'x');
    const uint32_t start = platform::TickCount();
    EXPECT_EQ(link.Write(lot.data(), static_cast<uint32_t>(lot.size())), static_cast<uint32_t>(-1));
    const uint32_t took = platform::TickCount() - start;
    RecordProperty("failed_send_ms", static_cast<int>(took));
    EXPECT_LT(took, 30000u);
    EXPECT_EQ(static_cast<int>(link.stop.load()), 1);
    // Given up: the reader ends by itself, and later writes do not try the socket again.
    EXPECT_TRUE(local_.WaitForLog("peer(TCP 127.0.0.1) thread terminated."));
    EXPECT_EQ(link.Write("%Loop%\r\n", 8), 0u);
    EXPECT_EQ(link.Write("%Loop%\r\n", 8), 0u);
    const std::string log = local_.LogText();
    EXPECT_EQ(test::CountOf(log, "ER:peer(TCP 127.0.0.1) from Read/Write Socket reply 10060"), 1u)
        << log;
    EXPECT_EQ(test::CountOf(log, kReportLine), 1u) << log;
}

}  // namespace
}  // namespace orvana
