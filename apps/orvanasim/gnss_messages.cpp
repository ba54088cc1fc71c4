#include "apps/orvanasim/gnss_messages.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "ntrip/rtcm3.h"

namespace orvana::sim {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kLight = 299792458.0;
constexpr int64_t kGpsEpochUnixS = 315964800;  // 1980-01-06
constexpr int64_t kGpsLeapS = 18;
constexpr int64_t kWeekMs = 7 * 86400000LL;
constexpr int64_t kDayMs = 86400000LL;

struct Ecef {
    double x, y, z;
};

Ecef ToEcef(const Station& s) {
    constexpr double a = 6378137.0, f = 1 / 298.257223563, e2 = f * (2 - f);
    const double lat = s.latitude * kPi / 180, lon = s.longitude * kPi / 180;
    const double n = a / std::sqrt(1 - e2 * std::sin(lat) * std::sin(lat));
    return {(n + s.height) * std::cos(lat) * std::cos(lon),
            (n + s.height) * std::cos(lat) * std::sin(lon),
            (n * (1 - e2) + s.height) * std::sin(lat)};
}

void PutHeader(rtcm3::BitWriter& w, unsigned number, const Station& s) {
    w.Put(number, 12);
    w.Put(s.id & 0xFFF, 12);
}

std::string StationPosition(const Station& s, bool with_height) {
    const Ecef e = ToEcef(s);
    rtcm3::BitWriter w;
    PutHeader(w, with_height ? 1006 : 1005, s);
    w.Put(0, 6);  // ITRF realisation year
    w.Put(1, 1);  // GPS
    w.Put(1, 1);  // GLONASS
    w.Put(1, 1);  // Galileo
    w.Put(0, 1);  // a physical station
    w.PutSigned(std::llround(e.x * 10000), 38);
    w.Put(0, 1);  // single receiver oscillator
    w.Put(0, 1);  // reserved
    w.PutSigned(std::llround(e.y * 10000), 38);
    w.Put(0, 2);  // quarter cycle indicator
    w.PutSigned(std::llround(e.z * 10000), 38);
    if (with_height) w.Put(0, 16);  // antenna height: the position is the antenna's already
    return rtcm3::Frame(w.Bytes());
}

void PutText(rtcm3::BitWriter& w, const std::string& text) {
    const size_t n = text.size() < 31 ? text.size() : 31;
    w.Put(n, 8);
    for (size_t i = 0; i < n; ++i) w.Put(static_cast<uint8_t>(text[i]), 8);
}

std::string Descriptors(const Station& s) {
    rtcm3::BitWriter w;
    PutHeader(w, 1033, s);
    PutText(w, s.antenna);
    w.Put(0, 8);  // antenna setup id
    PutText(w, "");
    PutText(w, s.receiver);
    PutText(w, s.firmware);
    PutText(w, s.serial);
    return rtcm3::Frame(w.Bytes());
}

struct Constellation {
    unsigned message;
    std::vector<unsigned> satellites;  // 1-based ids in the satellite mask
    std::vector<unsigned> signals;     // 1-based ids in the signal mask
    bool glonass_time = false;
    int64_t time_offset_ms = 0;  // of the system's time from GPS time
};

const Constellation* FindConstellation(unsigned message) {
    static const Constellation kAll[] = {
        {1074, {2, 5, 12, 15, 24, 29}, {2, 16}, false, 0},
        {1084, {3, 4, 13, 14}, {2, 8}, true, 0},
        {1094, {4, 9, 19, 27}, {2, 22}, false, 0},
        {1124, {6, 11, 23, 37}, {2, 14}, false, -14000},
    };
    for (const Constellation& c : kAll)
        if (c.message == message) return &c;
    return nullptr;
}

// Milliseconds into the system's epoch as the MSM header carries it.
uint32_t EpochTime(const Constellation& c, int64_t unix_ms) {
    if (c.glonass_time) {
        const int64_t moscow_ms = unix_ms + 3 * 3600000LL;
        const int64_t days = moscow_ms / kDayMs;
        const unsigned weekday = static_cast<unsigned>((days + 4) % 7);  // 1970-01-01: Thursday
        return (weekday << 27) | static_cast<uint32_t>(moscow_ms % kDayMs);
    }
    const int64_t gps_ms = unix_ms - kGpsEpochUnixS * 1000 + kGpsLeapS * 1000 + c.time_offset_ms;
    return static_cast<uint32_t>(((gps_ms % kWeekMs) + kWeekMs) % kWeekMs);
}

// The satellite's range in milliseconds of light travel: between about 67 and 87 ms.
double RangeMs(unsigned message, unsigned satellite, int64_t unix_ms) {
    const double t = static_cast<double>(unix_ms % (12 * 3600000LL)) / 1000.0;
    const double phase = (message * 7 + satellite * 13) % 360 * kPi / 180;
    const double metres = 23.0e6 + 2.5e6 * std::sin(2 * kPi * t / 43080.0 + phase);
    return metres / kLight * 1000.0;
}

std::string Msm4(const Constellation& c, const Station& s, int64_t unix_ms) {
    rtcm3::BitWriter w;
    PutHeader(w, c.message, s);
    w.Put(EpochTime(c, unix_ms), 30);
    w.Put(0, 1);  // the last message of this epoch
    w.Put(0, 3);  // issue of data station
    w.Put(0, 7);  // reserved
    w.Put(0, 2);  // clock steering unknown
    w.Put(0, 2);  // internal clock
    w.Put(0, 1);  // no divergence-free smoothing
    w.Put(0, 3);  // smoothing interval
    uint64_t sat_mask = 0;
    for (unsigned sat : c.satellites) sat_mask |= 1ull << (64 - sat);
    w.Put(sat_mask, 64);
    uint32_t sig_mask = 0;
    for (unsigned sig : c.signals) sig_mask |= 1u << (32 - sig);
    w.Put(sig_mask, 32);
    // Every satellite carries every signal.
    for (size_t i = 0; i < c.satellites.size() * c.signals.size(); ++i) w.Put(1, 1);

    std::vector<double> range(c.satellites.size()), rough(c.satellites.size());
    for (size_t i = 0; i < c.satellites.size(); ++i) {
        range[i] = RangeMs(c.message, c.satellites[i], unix_ms);
        rough[i] = std::round(range[i] * 1024) / 1024;
    }
    for (double r : rough) w.Put(static_cast<uint64_t>(std::floor(r)), 8);
    for (double r : rough)
        w.Put(static_cast<uint64_t>(std::llround((r - std::floor(r)) * 1024)) & 0x3FF, 10);
    const size_t cells = c.satellites.size() * c.signals.size();
    auto fine = [&](size_t cell, double extra_ms) {
        const size_t sat = cell / c.signals.size();
        return range[sat] - rough[sat] + extra_ms;
    };
    for (size_t k = 0; k < cells; ++k)  // fine pseudoranges, 2^-24 ms
        w.PutSigned(std::llround(fine(k, 0) * (1 << 24)), 15);
    for (size_t k = 0; k < cells; ++k)  // fine phase ranges, 2^-29 ms; a small code-carrier offset
        w.PutSigned(std::llround(fine(k, (k % 3) * 1e-6) * (1 << 29)), 22);
    for (size_t k = 0; k < cells; ++k) w.Put(15, 4);          // lock time: long locked
    for (size_t k = 0; k < cells; ++k) w.Put(0, 1);           // no half-cycle ambiguity
    for (size_t k = 0; k < cells; ++k) w.Put(40 + k % 8, 6);  // C/N0, dB-Hz
    return rtcm3::Frame(w.Bytes());
}

std::string WithChecksum(const std::string& body) {
    unsigned char sum = 0;
    for (char ch : body) sum ^= static_cast<unsigned char>(ch);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + body + tail;
}

std::string Angle(double degrees, int degree_digits, char positive, char negative) {
    const char hemisphere = degrees < 0 ? negative : positive;
    degrees = std::fabs(degrees);
    const int whole = static_cast<int>(degrees);
    const double minutes = (degrees - whole) * 60;
    char text[32];
    std::snprintf(text, sizeof text, "%0*d%08.5f,%c", degree_digits, whole, minutes, hemisphere);
    return text;
}

std::tm UtcOf(int64_t unix_ms) {
    const std::time_t seconds = static_cast<std::time_t>(unix_ms / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    return tm;
}

std::string TimeOfDay(int64_t unix_ms) {
    const std::tm tm = UtcOf(unix_ms);
    char text[48];
    std::snprintf(text, sizeof text, "%02d%02d%02d.%02d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(unix_ms % 1000 / 10));
    return text;
}

std::string Gga(const Station& s, int64_t unix_ms) {
    char tail[64];
    std::snprintf(tail, sizeof tail, ",4,12,0.8,%.3f,M,0.000,M,1.0,0000", s.height);
    return WithChecksum("GPGGA," + TimeOfDay(unix_ms) + "," + Angle(s.latitude, 2, 'N', 'S') + "," +
                        Angle(s.longitude, 3, 'E', 'W') + tail);
}

std::string Rmc(const Station& s, int64_t unix_ms) {
    const std::tm tm = UtcOf(unix_ms);
    char date[48];
    std::snprintf(date, sizeof date, "%02d%02d%02d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year % 100);
    return WithChecksum("GPRMC," + TimeOfDay(unix_ms) + ",A," + Angle(s.latitude, 2, 'N', 'S') +
                        "," + Angle(s.longitude, 3, 'E', 'W') + ",0.00,0.00," + date + ",,,D");
}

}  // namespace

std::optional<std::string> RealMessage(const std::string& name, const Station& station,
                                       int64_t unix_ms) {
    if (name == "nmea/GGA") return Gga(station, unix_ms);
    if (name == "nmea/RMC") return Rmc(station, unix_ms);
    if (name.rfind("rtcm/", 0) != 0) return std::nullopt;
    char* end = nullptr;
    const unsigned long number = std::strtoul(name.c_str() + 5, &end, 10);
    if (end == name.c_str() + 5 || *end != '\0') return std::nullopt;
    if (number == 1005 || number == 1006) return StationPosition(station, number == 1006);
    if (number == 1033) return Descriptors(station);
    if (const Constellation* c = FindConstellation(static_cast<unsigned>(number)))
        return Msm4(*c, station, unix_ms);
    return std::nullopt;
}

bool ParseStationPosition(const std::string& text, Station* station) {
    double lat = 0, lon = 0, height = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "%lf,%lf,%lf%n", &lat, &lon, &height, &used) != 3 ||
        static_cast<size_t>(used) != text.size())
        return false;
    if (!(lat >= -90 && lat <= 90 && lon >= -180 && lon <= 180 && height > -1000 && height < 1e5))
        return false;
    station->latitude = lat;
    station->longitude = lon;
    station->height = height;
    return true;
}

}  // namespace orvana::sim
