#include "ntrip/sourcetable.h"

namespace orvana::ntrip {

std::string StrRecord(const MountpointConfig& m, const std::string& generator) {
    std::string r = "STR;" + m.name + ";" + m.identifier + ";" + m.format + ";" + m.format_details +
                    ";" + std::to_string(m.carrier) + ";" + m.nav_system + ";" + m.network + ";" +
                    m.country + ";" + m.latitude + ";" + m.longitude + ";" +
                    std::to_string(m.nmea) + ";0;" + generator + ";none;" +
                    (m.public_access ? "N" : "B") + ";N;" + std::to_string(m.bitrate) + ";";
    return r;
}

std::string SourcetableText(const CasterConfig& c) {
    std::string text;
    for (const MountpointConfig& m : c.mountpoints) text += StrRecord(m, c.operator_name) + "\r\n";
    return text + "ENDSOURCETABLE\r\n";
}

}  // namespace orvana::ntrip
