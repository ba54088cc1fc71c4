// The NTRIP caster through the server binary, with a simulated receiver sending real RTCM and
// real NTRIP clients: RTKLIB's str2str as a rover, gpsd's gpsdecode on what it got, and plain
// HTTP requests for the answers a caster owes.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/subprocess.h"
#include "tests/ntrip_harness.h"
#include "tests/support/test_env.h"

namespace orvana {
namespace {

using test::GetRequest;
using test::HttpConnection;
using test::Unchunk;

class NtripCaster : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.AddUser("rover", "pw", 8, "sim,");
        server_.AddUser("nobody", "pw", 8, "simulator,other,");
    }
    void TearDown() override { server_.Stop(); }
    ConfigStore& store() { return server_.store(); }

    bool Start(std::vector<std::string> sim_args = {"--time-scale", "10"},
               const std::string& base_messages = "3,1005:1,1074:1,1084:1") {
        if (!sim_.Start(sim_args)) return false;
        test::AddTcpReceiver(store(), "sim", "TCP 127.0.0.1", sim_.port());
        test::EnableCaster(store());
        test::AddMountpoint(store(), "BASE", "sim", base_messages);
        test::AddMountpoint(store(), "OPEN", "sim", "3,1005:1", true);
        test::AddMountpoint(store(), "GHOST", "nowhere", "3,1005:1", true);
        // A sourcetable field cannot hold the separator.
        store().WriteText(std::string(cfg::kMountpointsKey) + "OPEN", cfg::kMountIdentifier.name,
                          "Open; station");
        if (!server_.Start()) return false;
        port_ = test::CasterPort(server_);
        return port_ != 0;
    }

    test::ServerProcess server_;
    test::SimReceiver sim_;
    uint16_t port_ = 0;
    test::TempDir dir_;
};

TEST_F(NtripCaster, Str2strRoverGetsWholeFramesThatGpsdDecodes) {
    sim_.numbered = false;
    ASSERT_TRUE(Start());
    const std::string out = dir_.File("rover.rtcm");
    platform::Subprocess rover;
    std::string error;
    ASSERT_TRUE(rover.Start(
        {"/usr/bin/str2str", "-in", "ntrip://rover:pw@127.0.0.1:" + std::to_string(port_) + "/BASE",
         "-out", "file://" + out},
        &error))
        << error;
    test::RtcmSummary got;
    EXPECT_TRUE(test::WaitUntil(
        [&] {
            got = test::ScanRtcm(test::ReadFile(out));
            return got.count[1005] >= 3 && got.count[1074] >= 3 && got.count[1084] >= 3;
        },
        30000))
        << server_.LogText();
    rover.Signal(15);
    rover.Wait(10000);
    got = test::ScanRtcm(test::ReadFile(out));
    // Nothing but whole frames with their CRCs right: not a byte lost, added or changed.
    EXPECT_EQ(got.junk, 0u);
    EXPECT_EQ(got.count.size(), 3u);
    std::string station;
    for (const std::string& f : got.frames) {
        if ((static_cast<uint8_t>(f[3]) << 4 | static_cast<uint8_t>(f[4]) >> 4) != 1005) continue;
        if (station.empty()) station = f;
        EXPECT_EQ(f, station);  // the station does not move
    }
    const test::ProgramResult decoded =
        test::RunProgram("/bin/sh", {"-c", "gpsdecode -j < " + out});
    EXPECT_NE(decoded.out.find("\"type\":1005,\"length\":19,\"station_id\":1"), std::string::npos)
        << decoded.out;
    EXPECT_NE(decoded.out.find("\"x\":3971356.18"), std::string::npos) << decoded.out;

    // The receiver was opened for the rover as for any client and closed when it left.
    EXPECT_TRUE(server_.WaitForLog("NTRIP mountpoint BASE closed", 10000)) << server_.LogText();
    const std::string log = server_.LogText();
    EXPECT_NE(log.find("NTRIP mountpoint BASE open on sim"), std::string::npos);
    EXPECT_NE(log.find("NTRIP rover rover(127.0.0.1:"), std::string::npos);
    EXPECT_NE(log.find("sim(TCP 127.0.0.1) thread terminated."), std::string::npos) << log;
}

TEST_F(NtripCaster, GpsdAsRoverReportsTheStationMessages) {
    sim_.numbered = false;
    ASSERT_TRUE(Start());
    const uint16_t gpsd_port = test::FreePort();
    platform::Subprocess gpsd;
    std::string error;
    ASSERT_TRUE(gpsd.Start(
        {"/usr/sbin/gpsd", "-N", "-n", "-S", std::to_string(gpsd_port), "-F",
         dir_.File("gpsd.sock"), "ntrip://rover:pw@127.0.0.1:" + std::to_string(port_) + "/BASE"},
        &error))
        << error;
    // gpspipe reports what gpsd decoded; gpsd may take a moment to listen.
    std::string reports;
    EXPECT_TRUE(test::WaitUntil(
        [&] {
            const test::ProgramResult r = test::RunProgram(
                "/usr/bin/gpspipe", {"-w", "-n", "40", "127.0.0.1:" + std::to_string(gpsd_port)},
                15000);
            reports += r.out;
            return reports.find("\"class\":\"RTCM3\"") != std::string::npos &&
                   reports.find("\"type\":1005") != std::string::npos;
        },
        40000))
        << reports << server_.LogText();
    EXPECT_NE(reports.find("\"x\":3971356.1814"), std::string::npos) << reports;
    EXPECT_NE(reports.find("\"type\":1074"), std::string::npos);
    gpsd.Signal(15);
    gpsd.Wait(10000);
}

TEST_F(NtripCaster, AnswersWrongPasswordsUnknownMountpointsAndBadRequests) {
    sim_.numbered = false;
    ASSERT_TRUE(Start());
    auto ask = [&](const std::string& request) {
        HttpConnection c;
        EXPECT_TRUE(c.Connect(port_));
        return c.Exchange(request);
    };
    std::string a = ask(GetRequest("BASE", "rover:wrong", false));
    EXPECT_EQ(a.rfind("HTTP/1.0 401 Unauthorized\r\n", 0), 0u) << a;
    EXPECT_NE(a.find("WWW-Authenticate: Basic realm=\"/BASE\""), std::string::npos);
    a = ask(GetRequest("BASE", "", true));
    EXPECT_EQ(a.rfind("HTTP/1.1 401 Unauthorized\r\nNtrip-Version: Ntrip/2.0\r\n", 0), 0u) << a;
    // Neither a user whose access list names other receivers (one whose name starts the same)
    // nor the caster's own system user from the network.
    EXPECT_EQ(ask(GetRequest("BASE", "nobody:pw", false)).rfind("HTTP/1.0 401", 0), 0u);
    EXPECT_EQ(ask(GetRequest("BASE", "Ntrip:Zelmar", false)).rfind("HTTP/1.0 401", 0), 0u);
    EXPECT_EQ(ask(GetRequest("BASE", "ghost:pw", false)).rfind("HTTP/1.0 401", 0), 0u);
    EXPECT_TRUE(server_.WaitForLog("ER:NTRIP rover ghost(127.0.0.1:"));

    // An unknown mountpoint gets the sourcetable, in either version.
    a = ask(GetRequest("NOPE", "rover:pw", false));
    ASSERT_EQ(a.rfind("SOURCETABLE 200 OK\r\n", 0), 0u) << a;
    const size_t body = a.find("\r\n\r\n") + 4;
    EXPECT_NE(a.find("Content-Length: " + std::to_string(a.size() - body) + "\r\n"),
              std::string::npos)
        << a;
    EXPECT_NE(a.find("STR;BASE;sim;RTCM 3.3;;2;GPS+GLO+GAL+BDS;;CZE;50.09;14.42;0;0;OrvanaSrv;"
                     "none;B;N;0;\r\n"),
              std::string::npos)
        << a;
    EXPECT_NE(
        a.find("STR;OPEN;Open, station;RTCM 3.3;;2;GPS+GLO+GAL+BDS;;CZE;50.09;14.42;0;0;OrvanaSrv;"
               "none;N;N;0;\r\n"),
        std::string::npos);
    EXPECT_EQ(a.substr(a.size() - 16), "ENDSOURCETABLE\r\n");
    a = ask(GetRequest("", "", true));
    EXPECT_EQ(a.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << a;
    EXPECT_NE(a.find("Content-Type: gnss/sourcetable\r\n"), std::string::npos);
    EXPECT_NE(a.find("ENDSOURCETABLE"), std::string::npos);

    EXPECT_EQ(ask("\x01\x02 garbage\r\n\r\n").rfind("HTTP/1.0 400 Bad Request", 0), 0u);
    EXPECT_EQ(ask("GET /BASE HTTP/1.0\r\n" + std::string(9000, 'x')).rfind("HTTP/1.0 400", 0), 0u);

    // A mountpoint whose receiver cannot be opened sends its rovers away.
    HttpConnection ghost;
    ASSERT_TRUE(ghost.Connect(port_));
    ASSERT_TRUE(ghost.Send(GetRequest("GHOST", "", false)));
    EXPECT_FALSE(ghost.ReadFor(10000));
    EXPECT_EQ(ghost.got, "ICY 200 OK\r\n");
    EXPECT_TRUE(server_.WaitForLog("ER:NTRIP mountpoint GHOST: "));
    EXPECT_TRUE(server_.WaitForLog("on GHOST sent away: the mountpoint has no stream"));

    // A public mountpoint needs no login.
    HttpConnection open;
    ASSERT_TRUE(open.Connect(port_));
    ASSERT_TRUE(open.Send(GetRequest("OPEN", "", false)));
    ASSERT_TRUE(open.ReadUntil("ICY 200 OK\r\n"));
    EXPECT_TRUE(test::WaitUntil(
        [&] {
            open.ReadFor(100);
            return test::ScanRtcm(open.got.substr(12)).count[1005] >= 2;
        },
        20000));
    EXPECT_EQ(open.got.rfind("ICY 200 OK\r\n", 0), 0u);
    EXPECT_EQ(test::ScanRtcm(open.got.substr(12)).junk, 0u);
}

TEST_F(NtripCaster, Version2RoverGetsChunksAndItsGgaIsLoggedNeverForwarded) {
    sim_.numbered = false;
    ASSERT_TRUE(Start({"--time-scale", "10", "--transcript", dir_.File("receiver.txt")}));
    HttpConnection rover;
    ASSERT_TRUE(rover.Connect(port_));
    ASSERT_TRUE(rover.Send(GetRequest("BASE", "rover:pw", true)));
    ASSERT_TRUE(rover.ReadUntil("\r\n\r\n"));
    const std::string gga = "$GPGGA,120000.00,5005.2500,N,01425.2840,E,1,08,1.0,250.0,M,0.0,M,,*6A";
    ASSERT_TRUE(rover.Send(gga + "\r\n"));
    test::RtcmSummary got;
    EXPECT_TRUE(test::WaitUntil(
        [&] {
            rover.ReadFor(100);
            std::string body;
            Unchunk(rover.got.substr(rover.got.find("\r\n\r\n") + 4), &body);
            got = test::ScanRtcm(body);
            return got.count[1005] >= 2 && got.count[1084] >= 2;
        },
        20000));
    const std::string head = rover.got.substr(0, rover.got.find("\r\n\r\n") + 4);
    EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\nNtrip-Version: Ntrip/2.0\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("Transfer-Encoding: chunked\r\n"), std::string::npos);
    std::string body;
    EXPECT_TRUE(Unchunk(rover.got.substr(head.size()), &body));
    EXPECT_EQ(test::ScanRtcm(body).junk, 0u);
    EXPECT_TRUE(server_.WaitForLog("at " + gga)) << server_.LogText();
    EXPECT_EQ(test::ReadFile(dir_.File("receiver.txt")).find("GPGGA"), std::string::npos);
}

TEST_F(NtripCaster, ACasterThatCannotListenOrBadMountpointsLeaveTheServerServing) {
    // Another program has the caster's port.
    platform::SocketFd taken = platform::OpenStreamSocket();
    ASSERT_TRUE(platform::Bind(taken, {0x7F000001, 0}) && platform::Listen(taken, 4));
    platform::Ipv4Endpoint at;
    ASSERT_TRUE(platform::LocalEndpoint(taken, &at));
    test::EnableCaster(store());
    store().WriteNumber(cfg::kNtripKey, cfg::kCasterPort.name, at.port);
    store().WriteText(cfg::kNtripKey, cfg::kCasterAddress.name, "127.0.0.1");
    test::AddMountpoint(store(), "bad name", "sim", "3,1005:1");
    test::AddMountpoint(store(), "NOMSG", "sim", "");
    test::AddRelay(store(), "OPENRELAY", "");
    ASSERT_TRUE(server_.Start());
    EXPECT_TRUE(
        server_.WaitForLog("ER:NTRIP caster can't listen on 127.0.0.1:" + std::to_string(at.port)));
    const std::string log = server_.LogText();
    EXPECT_NE(log.find("ER:NTRIP mountpoint \"bad name\": not a mountpoint name"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("ER:NTRIP mountpoint NOMSG: no Receiver or no Messages"), std::string::npos);
    EXPECT_NE(log.find("ER:NTRIP mountpoint OPENRELAY: a relay needs a SourcePassword"),
              std::string::npos);
    auto client = server_.Client("OpenUsr rover pw");
    EXPECT_EQ(client->Ask("GetRcvList").rfind("RE", 0), 0u);
    platform::CloseSocket(taken);
}

// The sequence numbers of numbered 1000-byte payloads back to back; false on a broken record.
bool Sequences(const std::string& stream, std::vector<unsigned long>* out) {
    for (size_t at = 0; at + 1000 <= stream.size(); at += 1000) {
        if (stream.compare(at + 22, 9, "rtcm/1005") != 0) return false;
        out->push_back(std::stoul(stream.substr(at, 10)));
    }
    return true;
}

TEST_F(NtripCaster, RoverThatStopsReadingIsCutOffWhileAnotherGetsEverything) {
    store().WriteNumber(cfg::kActiveKey, cfg::kClientQueueBytes.name, cfg::kMinClientQueueBytes);
    test::EnableMetrics(store());
    // Numbered payloads show a gap; some 200 KB/s.
    ASSERT_TRUE(Start({"--time-scale", "200", "--payload-size", "1000"}, "3,1005:1"));
    HttpConnection stalled, reader;
    ASSERT_TRUE(stalled.Connect(port_, 4096));
    ASSERT_TRUE(stalled.Send(GetRequest("BASE", "rover:pw", false)));
    ASSERT_TRUE(reader.Connect(port_));
    ASSERT_TRUE(reader.Send(GetRequest("BASE", "rover:pw", false)));
    EXPECT_TRUE(server_.WaitForLog("ER:NTRIP rover rover(127.0.0.1:", 20000)) << server_.LogText();
    EXPECT_NE(server_.LogText().find("on BASE cut off: "), std::string::npos);
    reader.ReadFor(1000);
    ASSERT_EQ(reader.got.rfind("ICY 200 OK\r\n", 0), 0u);
    std::vector<unsigned long> seq;
    ASSERT_TRUE(Sequences(reader.got.substr(12), &seq));
    ASSERT_GT(seq.size(), 200u);
    for (size_t i = 1; i < seq.size(); ++i) ASSERT_EQ(seq[i], seq[i - 1] + 1) << i;
    // The mountpoint stays open for the rover that reads.
    EXPECT_EQ(server_.LogText().find("NTRIP mountpoint BASE closed"), std::string::npos);
    // The metrics count the rover's cut under its own class, not the mountpoint's client.
    const std::string scraped = test::ScrapeMetrics(server_);
    EXPECT_NE(scraped.find("\norvanasrv_cut_offs_total{class=\"ntrip\"} 1\n"), std::string::npos)
        << scraped;
    EXPECT_NE(scraped.find("\norvanasrv_cut_offs_total{class=\"client\"} 0\n"), std::string::npos);
}

}  // namespace
}  // namespace orvana
