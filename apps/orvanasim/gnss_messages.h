#pragma once
// Real RTCM 3 and NMEA 0183 messages of a simulated static station, so that real decoders take
// the simulator's rtcm/ and nmea/ output: 1005, 1006 and 1033 (the station), the MSM4
// observations of a few satellites of GPS (1074), GLONASS (1084), Galileo (1094) and BeiDou
// (1124), and the GGA and RMC sentences. The observations follow smooth made-up orbits; they
// are well-formed, not physically consistent.

#include <cstdint>
#include <optional>
#include <string>

namespace orvana::sim {

struct Station {
    double latitude = 50.0875;   // degrees, north positive
    double longitude = 14.4214;  // degrees, east positive
    double height = 250.0;       // metres above the ellipsoid
    unsigned id = 1;             // the RTCM reference station id (0 to 4095)
    std::string antenna = "SIMANT-1";
    std::string receiver = "SIM-GNSS-1";
    std::string firmware = "1.0.0";
    std::string serial = "SIM00000001";
};

// The message `name` ("rtcm/1005", "nmea/GGA") for the time `unix_ms` (milliseconds since 1970,
// UTC), or nothing when the simulator has no real form of it.
std::optional<std::string> RealMessage(const std::string& name, const Station& station,
                                       int64_t unix_ms);

// "LAT,LON,HEIGHT" in degrees and metres; false when malformed or out of range.
bool ParseStationPosition(const std::string& text, Station* station);

}  // namespace orvana::sim
