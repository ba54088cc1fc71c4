// The simulator's rtcm/ and nmea/ messages as real decoders see them: gpsd's gpsdecode for the
// station messages and the NMEA sentences, RTKLIB's convbin for the MSM observations.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ntrip/rtcm3.h"
#include "tests/orvanasim_harness.h"
#include "tests/support/test_env.h"

namespace orvana {
namespace {

using simtest::TcpSession;

// The payloads of the containers received in `ms`.
std::vector<std::string> Payloads(simtest::TcpHost& h, uint32_t ms) {
    std::vector<std::string> out;
    const uint32_t start = platform::TickCount();
    for (uint32_t spent = 0; spent < ms; spent = platform::TickCount() - start) {
        auto m = h.NextMessage(ms - spent);
        if (!m) break;
        if (m->compare(0, 2, ">>") != 0) continue;
        const simtest::Container c = simtest::ParseContainer(*m);
        EXPECT_TRUE(c.checksum_ok);
        out.push_back(c.payload);
    }
    return out;
}

struct Captured {
    std::string rtcm;  // the RTCM frames, whole
    std::string nmea;  // the sentences
    std::vector<unsigned> numbers;
    uint64_t junk = 0;
};

Captured Capture(const std::vector<std::string>& sim_args, const std::string& list, uint32_t ms) {
    TcpSession s;
    s.sim.numbered = false;
    Captured c;
    if (!s.Open(sim_args)) {
        ADD_FAILURE() << "simulator did not start";
        return c;
    }
    EXPECT_EQ(s.host.Ask("%em%em,," + list + "\r\n"), "RE004%em%");
    // A container holds one message: an NMEA sentence, or else an RTCM frame.
    std::string binary;
    for (const std::string& payload : Payloads(s.host, ms))
        (payload.compare(0, 1, "$") == 0 ? c.nmea : binary) += payload;
    rtcm3::FrameScanner scanner;
    scanner.Append(binary);
    rtcm3::FrameScanner::Frame f;
    while (scanner.Next(&f)) {
        c.numbers.push_back(f.message_number);
        c.rtcm += f.bytes;
    }
    c.junk = scanner.skipped_bytes() + scanner.bad_frames();
    return c;
}

TEST(SimGnssMessages, StationMessagesAndSentencesDecodeWithTheConfiguredPosition) {
    const Captured c = Capture({"--time-scale", "5", "--position", "-33.8568,151.2153,42.5",
                                "--station-id", "77", "--model", "RX-9"},
                               "rtcm/1005:1,rtcm/1006:1,rtcm/1033:1,nmea/GGA:1,nmea/RMC:1", 1500);
    ASSERT_FALSE(c.rtcm.empty());
    EXPECT_EQ(c.junk, 0u);
    test::TempDir dir;
    test::WriteFile(dir.File("in"), c.rtcm + c.nmea);
    const test::ProgramResult r =
        test::RunProgram("/bin/sh", {"-c", "gpsdecode -j < " + dir.File("in")});
    ASSERT_EQ(r.status, 0) << r.err;
    // ECEF of 33.8568 S 151.2153 E 42.5 m.
    EXPECT_NE(r.out.find("\"type\":1005,\"length\":19,\"station_id\":77"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"x\":-4646"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"z\":-3533"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"type\":1006"), std::string::npos);
    EXPECT_NE(r.out.find("\"receiver\":\"RX-9\""), std::string::npos);
    // GGA gives the position and RMC the fix: a TPV report at the configured place.
    EXPECT_NE(r.out.find("\"lat\":-33.8568"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"lon\":151.2153"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"altHAE\":42.5"), std::string::npos) << r.out;
}

TEST(SimGnssMessages, MsmObservationsConvertToRinexForEverySystem) {
    const Captured c = Capture({"--time-scale", "5"},
                               "rtcm/1005:1,rtcm/1074:1,rtcm/1084:1,rtcm/1094:1,rtcm/1124:1", 1500);
    ASSERT_FALSE(c.rtcm.empty());
    EXPECT_EQ(c.junk, 0u);
    test::TempDir dir;
    test::WriteFile(dir.File("in.rtcm3"), c.rtcm);
    // convbin needs the approximate time to resolve the week of the MSM epoch times.
    const test::ProgramResult r = test::RunProgram(
        "/bin/sh", {"-c", "convbin -r rtcm3 -tr $(date -u '+%Y/%m/%d %H:%M:%S') -o " +
                              dir.File("out.obs") + " " + dir.File("in.rtcm3")});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string obs = test::ReadFile(dir.File("out.obs"));
    ASSERT_FALSE(obs.empty()) << r.out << r.err;
    for (const char* sat : {"G02", "G29", "R03", "R14", "E04", "E27", "C06", "C37"})
        EXPECT_NE(obs.find(std::string("\n") + sat), std::string::npos) << sat << "\n" << obs;
    // Pseudoranges of some 20 000 km on the first GPS line.
    const size_t g = obs.find("\nG02");
    ASSERT_NE(g, std::string::npos);
    const double range = std::stod(obs.substr(g + 4, 14));
    EXPECT_GT(range, 19.0e6);
    EXPECT_LT(range, 27.0e6);
}

TEST(SimGnssMessages, NumberedKeepsEveryMessageCountable) {
    TcpSession s;
    ASSERT_TRUE(s.Open({"--time-scale", "10"}));  // the harness asks for --numbered
    ASSERT_EQ(s.host.Ask("%em%em,,rtcm/1005:1\r\n"), "RE004%em%");
    auto m = s.host.NextMessage();
    ASSERT_TRUE(m);
    EXPECT_EQ(simtest::ParseContainer(*m).name(), "rtcm/1005");
}

}  // namespace
}  // namespace orvana
