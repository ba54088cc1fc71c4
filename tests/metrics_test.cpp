// The Prometheus endpoint of the real server: scraped over HTTP by Python's client while a
// client follows the simulator's messages, checked by Prometheus's own promtool, and its
// counters read back; its refusals; and that it stays off unless the store turns it on.

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>

#include "core/config_keys.h"
#include "tests/ntrip_harness.h"
#include "tests/orvanasim_harness.h"
#include "tests/server_harness.h"

namespace orvana {
namespace {

class Metrics : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.AddUser("ann", "apw", 5);
        server_.AddReceiver("Base1", true, "COM 1");
        server_.AddReceiver("Roof \"B\"", true, "COM 2");
    }
    void Start(bool enabled) {
        if (enabled) {
            server_.store().WriteFlag(cfg::kMetricsKey, cfg::kEnableMetrics.name, true);
            server_.store().WriteNumber(cfg::kMetricsKey, cfg::kMetricsPort.name, 0);
        }
        // Every fifth container spoilt, for the bad checksum counter.
        ASSERT_TRUE(
            sim_.StartPty({"--ports", server_.Ports(), "--com", "1", "--bad-checksum-every", "5"}));
        ASSERT_TRUE(server_.Start());
    }
    // The exposition as Python's HTTP client gets it, saved where promtool can read it.
    std::string Scrape(uint16_t port) {
        const std::string file = server_.home() + "/scrape.txt";
        const test::ProgramResult got = test::RunProgram(
            "/usr/bin/env",
            {"python3", "-c",
             "import urllib.request,sys\n"
             "r=urllib.request.urlopen('http://127.0.0.1:" +
                 std::to_string(port) +
                 "/metrics', timeout=10)\n"
                 "assert r.headers['Content-Type'].startswith('text/plain; version=0.0.4')\n"
                 "open(sys.argv[1],'wb').write(r.read())\n",
             file},
            30000);
        EXPECT_EQ(got.status, 0) << got.err;
        return test::ReadFile(file);
    }
    static double Value(const std::string& text, const std::string& sample) {
        const size_t at = text.find("\n" + sample + " ");
        if (at == std::string::npos) return -1;
        return std::strtod(text.c_str() + at + sample.size() + 2, nullptr);
    }

    test::ServerProcess server_;
    simtest::Sim sim_;
};

TEST_F(Metrics, AScrapeCountsTheReceiversTrafficAndPassesPromtool) {
    Start(true);
    const uint16_t port = test::AnnouncedPort(server_, "Metrics");
    ASSERT_NE(port, 0) << server_.Stdout();
    test::TestClient client;
    ASSERT_TRUE(client.Connect(server_.port()));
    ASSERT_EQ(client.Ask("OpenUsr ann apw follower"), "RE:OK.");
    ASSERT_EQ(client.Ask("OpenRcv Base1", 1, 30), "RE:OK.");
    ASSERT_EQ(client.Ask("Attach 0,RT:0.1", 1), "RE:OK.");
    int frames = 0;
    while (frames < 10 && client.ReadFrame(5)) ++frames;
    ASSERT_EQ(frames, 10);

    const std::string first = Scrape(port);
    const test::ProgramResult lint = test::RunProgram(
        "/bin/sh", {"-c", "promtool check metrics < " + server_.home() + "/scrape.txt"}, 30000);
    EXPECT_EQ(lint.status, 0) << lint.out << lint.err << first;
    EXPECT_EQ(Value(first, "orvanasrv_sessions"), 1) << first;
    EXPECT_EQ(Value(first, "orvanasrv_receivers_open"), 1) << first;
    EXPECT_EQ(Value(first, "orvanasrv_receivers_enabled"), 2) << first;
    EXPECT_GT(Value(first, "orvanasrv_uptime_seconds"), 0) << first;
    const std::string base = "{receiver=\"Base1\"}";
    EXPECT_GE(Value(first, "orvanasrv_receiver_containers_in_total" + base), 10) << first;
    EXPECT_GT(Value(first, "orvanasrv_receiver_read_bytes_total" + base),
              Value(first, "orvanasrv_receiver_containers_in_total" + base) * 8);
    // Ten good ones came with at least two spoilt ones between them.
    EXPECT_GE(Value(first, "orvanasrv_receiver_bad_checksums_total" + base), 2) << first;
    EXPECT_GT(Value(first, "orvanasrv_sent_bytes_total{class=\"client\"}"), 100) << first;
    EXPECT_EQ(Value(first, "orvanasrv_cut_offs_total{class=\"client\"}"), 0) << first;
    // A receiver name with a quote stays one label value.
    EXPECT_EQ(Value(first, "orvanasrv_receiver_read_bytes_total{receiver=\"Roof \\\"B\\\"\"}"), 0)
        << first;

    // Counters only grow while the stream goes on.
    while (frames < 20 && client.ReadFrame(5)) ++frames;
    const std::string second = Scrape(port);
    EXPECT_GT(Value(second, "orvanasrv_receiver_containers_in_total" + base),
              Value(first, "orvanasrv_receiver_containers_in_total" + base));
    EXPECT_GT(Value(second, "orvanasrv_sent_bytes_total{class=\"client\"}"),
              Value(first, "orvanasrv_sent_bytes_total{class=\"client\"}"));

    // Other paths and methods are refused, junk too; the endpoint goes on serving.
    struct Case {
        std::string request, status;
    } cases[] = {{"GET / HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 404"},
                 {"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 405"},
                 {"\x01\x02\r\n\r\n", "HTTP/1.1 400"}};
    for (const Case& c : cases) {
        test::HttpConnection http;
        ASSERT_TRUE(http.Connect(port));
        EXPECT_EQ(http.Exchange(c.request).compare(0, c.status.size(), c.status), 0)
            << c.request << http.got;
    }
    EXPECT_NE(Scrape(port).find("orvanasrv_sessions 1\n"), std::string::npos);
    EXPECT_NE(server_.LogText().find("Metrics on http://127.0.0.1:"), std::string::npos);
}

TEST_F(Metrics, StaysOffUnlessTheStoreTurnsItOn) {
    Start(false);
    test::TestClient client;
    ASSERT_TRUE(client.Connect(server_.port()));
    EXPECT_EQ(client.Ask("Ping"), "RE:OK.");
    EXPECT_EQ(server_.Stdout().find("Metrics on"), std::string::npos) << server_.Stdout();
}

}  // namespace
}  // namespace orvana
