// Streams that reach the caster from elsewhere and leave it for elsewhere, through server
// binaries: RTKLIB's str2str pushing into a relay mountpoint as an NTRIP 1.0 source, a plain
// NTRIP 2.0 source, and a server's own uploads feeding a second server's relays, again after
// that server comes back.

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

// A station: the simulated receiver "sim" behind the mountpoint BASE, and a relay RELAY.
struct Station {
    test::ServerProcess server;
    test::SimReceiver sim;
    uint16_t caster = 0;

    void Configure(uint16_t caster_port = 0) {
        server.AddUser("rover", "pw", 8, "sim,RELAY,UP1,UP2,");
        test::EnableCaster(server.store());
        server.store().WriteNumber(cfg::kNtripKey, cfg::kCasterPort.name, caster_port);
        test::AddRelay(server.store(), "RELAY", "secret");
        test::AddRelay(server.store(), "UP1", "up-one");
        test::AddRelay(server.store(), "UP2", "up-two");
    }
    bool WithReceiver() {
        sim.numbered = false;
        if (!sim.Start({"--time-scale", "10"})) return false;
        test::AddTcpReceiver(server.store(), "sim", "TCP 127.0.0.1", sim.port());
        test::AddMountpoint(server.store(), "BASE", "sim", "3,1005:1,1074:1");
        return true;
    }
    bool Start() {
        if (!server.Start()) return false;
        caster = test::CasterPort(server);
        return caster != 0;
    }
};

TEST(NtripRelay, Str2strPushesAStreamThatRoversOfTheRelayGet) {
    Station s;
    s.Configure();
    ASSERT_TRUE(s.WithReceiver());
    ASSERT_TRUE(s.Start());
    const std::string port = std::to_string(s.caster);
    // str2str takes BASE as a rover and pushes it back into RELAY as an NTRIP 1.0 source.
    platform::Subprocess relay;
    std::string error;
    ASSERT_TRUE(
        relay.Start({"/usr/bin/str2str", "-in", "ntrip://rover:pw@127.0.0.1:" + port + "/BASE",
                     "-out", "ntrips://:secret@127.0.0.1:" + port + "/RELAY"},
                    &error))
        << error;
    EXPECT_TRUE(s.server.WaitForLog("NTRIP source 127.0.0.1:", 20000)) << s.server.LogText();
    std::string head;
    const test::RtcmSummary got = test::RoverUntil(s.caster, "RELAY", {1005, 1074}, 3, &head);
    EXPECT_EQ(head, "ICY 200 OK\r\n");
    EXPECT_GE(got.Of(1005), 3u) << s.server.LogText();
    EXPECT_EQ(got.junk, 0u);

    // A second source for the same relay, or one with the wrong password, is sent away.
    HttpConnection second;
    ASSERT_TRUE(second.Connect(s.caster));
    EXPECT_EQ(second.Exchange("SOURCE secret /RELAY\r\nSource-Agent: NTRIP test\r\n\r\n"),
              "ERROR - Mount Point Taken or Invalid\r\n");
    HttpConnection wrong;
    ASSERT_TRUE(wrong.Connect(s.caster));
    EXPECT_EQ(wrong.Exchange("SOURCE guess /RELAY\r\n\r\n"), "ERROR - Bad Password\r\n");
    HttpConnection not_relay;
    ASSERT_TRUE(not_relay.Connect(s.caster));
    EXPECT_EQ(not_relay.Exchange("SOURCE secret /BASE\r\n\r\n"), "ERROR - Bad Mountpoint\r\n");
    EXPECT_TRUE(s.server.WaitForLog("ER:NTRIP source 127.0.0.1:"));
    relay.Signal(15);
    relay.Wait(10000);
    EXPECT_TRUE(s.server.WaitForLog("NTRIP source 127.0.0.1:", 10000));
}

TEST(NtripRelay, Version2SourceSendsChunksThatArriveWhole) {
    Station s;
    s.Configure();
    ASSERT_TRUE(s.Start());
    HttpConnection source;
    ASSERT_TRUE(source.Connect(s.caster));
    const std::string post =
        "POST /RELAY HTTP/1.1\r\nHost: 127.0.0.1\r\nNtrip-Version: Ntrip/2.0\r\n"
        "Authorization: Basic " +
        ntrip::Base64Encode("anyone:secret") + "\r\nTransfer-Encoding: chunked\r\n\r\n";
    ASSERT_TRUE(source.Send(post));
    ASSERT_TRUE(source.ReadUntil("\r\n\r\n"));
    EXPECT_EQ(source.got.rfind("HTTP/1.1 200 OK\r\nNtrip-Version: Ntrip/2.0\r\n", 0), 0u);

    HttpConnection rover;
    ASSERT_TRUE(rover.Connect(s.caster));
    ASSERT_TRUE(rover.Send(GetRequest("RELAY", "rover:pw", false)));
    ASSERT_TRUE(rover.ReadUntil("ICY 200 OK\r\n"));
    // Frames split across chunks, one chunk with an extension, sizes in both cases.
    const std::string a = rtcm3::Frame(std::string("\x3e\xd0\x01\x02\x03", 5));
    const std::string b = rtcm3::Frame(std::string(300, '\x42'));
    const std::string stream = a + b + a;
    std::string chunked;
    for (size_t at = 0, n = 7; at < stream.size(); at += n, n = n * 3 % 251 + 1) {
        const std::string piece = stream.substr(at, n);
        char size[16];
        std::snprintf(size, sizeof size, at % 2 ? "%zX;x=1\r\n" : "%zx\r\n", piece.size());
        chunked += size + piece + "\r\n";
    }
    // In two sends, cut inside a size line.
    ASSERT_TRUE(source.Send(chunked.substr(0, 40)));
    ASSERT_TRUE(source.Send(chunked.substr(40)));
    ASSERT_TRUE(rover.ReadUntil(a + b + a));
    EXPECT_EQ(rover.got, "ICY 200 OK\r\n" + stream);
    // A broken coding ends the source, not the rover.
    ASSERT_TRUE(source.Send("zz\r\n"));
    EXPECT_TRUE(s.server.WaitForLog("broke its chunked coding"));
    rover.ReadFor(300);
    EXPECT_FALSE(rover.closed);
}

TEST(NtripRelay, UploadsFeedAnotherServersRelaysAndComeBackAfterItRestarts) {
    Station far;
    far.Configure();
    ASSERT_TRUE(far.Start());
    const uint16_t far_port = far.caster;

    Station near;
    near.Configure();
    ASSERT_TRUE(near.WithReceiver());
    test::AddUpload(near.server.store(), "one", "BASE", far_port, "UP1", "up-one", 1);
    test::AddUpload(near.server.store(), "two", "BASE", far_port, "UP2", "up-two", 2);
    test::AddUpload(near.server.store(), "bad", "BASE", far_port, "UP2", "wrong", 2);
    ASSERT_TRUE(near.Start());
    EXPECT_TRUE(near.server.WaitForLog("NTRIP upload one to 127.0.0.1:" + std::to_string(far_port) +
                                       "/UP1 streaming"))
        << near.server.LogText();
    EXPECT_TRUE(near.server.WaitForLog("NTRIP upload two to 127.0.0.1:" + std::to_string(far_port) +
                                       "/UP2 streaming"));
    for (const char* mount : {"UP1", "UP2"}) {
        const test::RtcmSummary got = test::RoverUntil(far_port, mount, {1005, 1074}, 3);
        EXPECT_GE(got.Of(1074), 3u) << mount << far.server.LogText();
        EXPECT_EQ(got.junk, 0u) << mount;
    }
    EXPECT_TRUE(
        near.server.WaitForLog("ER:NTRIP upload bad to 127.0.0.1:" + std::to_string(far_port) +
                               "/UP2 refused: HTTP/1.1 401 Unauthorized"))
        << near.server.LogText();
    // The mountpoint's client in the connection list says how its uploads are.
    near.server.AddUser("admin", "pw", 2);
    auto admin = near.server.Client("OpenUsr admin pw");
    admin->Ask("Get CList");  // the header first, then the rows: receiver, user, task
    const std::string rows = admin->Ask("Get CList 1C");
    EXPECT_NE(rows.find("sim/Ntrip/NTRIP/BASE rovers 0, uploads 2/3"), std::string::npos) << rows;

    // The far server goes away and comes back on the same port: the uploads follow it.
    far.server.Stop();
    EXPECT_TRUE(near.server.WaitForLog("ER:NTRIP upload one", 10000));
    Station again;
    again.Configure(far_port);
    ASSERT_TRUE(again.Start());
    EXPECT_TRUE(test::WaitUntil(
        [&] { return test::CountOf(near.server.LogText(), "/UP1 streaming") >= 2; }, 30000))
        << near.server.LogText();
    const test::RtcmSummary got = test::RoverUntil(far_port, "UP1", {1005}, 2);
    EXPECT_GE(got.Of(1005), 2u);
    EXPECT_EQ(got.junk, 0u);
}

}  // namespace
}  // namespace orvana
