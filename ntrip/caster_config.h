#pragma once
// The caster's configuration as the store holds it: the Ntrip key of the active configuration
// and one key per mountpoint under Ntrip\Mountpoints. Read once when the caster starts.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvana {
class ConfigStore;
}

namespace orvana::ntrip {

struct MountpointConfig {
    std::string name;
    std::string receiver;               // empty for a relay
    std::vector<std::string> messages;  // Attach arguments, one per group
    bool public_access = false;         // no login needed
    bool relay = false;                 // fed by a source pushing to the caster
    std::string source_password;        // what a source must give for a relay
    // Sourcetable fields.
    std::string identifier, format, format_details, nav_system, network, country;
    std::string latitude, longitude;
    uint32_t carrier = 0, nmea = 0, bitrate = 0;
};

struct UploadConfig {
    std::string name;
    std::string mountpoint;  // the local mountpoint whose stream goes up
    std::string host;        // name or dotted address
    uint16_t port = 0;
    std::string remote_mount;
    std::string user, password;
    int version = 2;
};

struct CasterConfig {
    bool enabled = false;
    uint16_t port = 0;
    std::string address;  // empty: the server's own
    std::string operator_name;
    std::vector<MountpointConfig> mountpoints;
    std::vector<UploadConfig> uploads;
    // Mountpoints and uploads left out, with why, for the event log.
    std::vector<std::string> refused;

    const MountpointConfig* Find(std::string_view name) const;
};

CasterConfig ReadCasterConfig(const ConfigStore& store);

// A mountpoint name rovers can ask for: letters, digits, "-", "_" and "." (1 to 100).
bool IsMountpointName(std::string_view name);

}  // namespace orvana::ntrip
