#include "ntrip/caster_config.h"

#include <algorithm>

#include "core/config_keys.h"
#include "core/config_store.h"

namespace orvana::ntrip {
namespace {

// A sourcetable field cannot hold its separator or a line end.
std::string Field(std::string text) {
    for (char& c : text)
        if (c == ';' || c == '\r' || c == '\n') c = ',';
    return text;
}

std::vector<std::string> MessageLists(std::string_view text) {
    std::vector<std::string> lists;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find(';', start);
        if (end == std::string_view::npos) end = text.size();
        std::string list(text.substr(start, end - start));
        list.erase(0, list.find_first_not_of(' '));
        if (!list.empty()) lists.push_back(std::move(list));
        start = end + 1;
    }
    return lists;
}

}  // namespace

const MountpointConfig* CasterConfig::Find(std::string_view name) const {
    for (const MountpointConfig& m : mountpoints)
        if (m.name == name) return &m;
    return nullptr;
}

bool IsMountpointName(std::string_view name) {
    if (name.empty() || name.size() > 100) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_' || c == '.';
    });
}

CasterConfig ReadCasterConfig(const ConfigStore& store) {
    CasterConfig c;
    const std::string key = cfg::kNtripKey;
    c.enabled = store.ReadFlag(key, cfg::kEnableCaster);
    const uint32_t port = store.ReadNumber(key, cfg::kCasterPort);
    // 0 takes a free port, as PortServer "0" does.
    c.port = static_cast<uint16_t>(port <= 65535 ? port : cfg::kCasterPort.fallback);
    c.address = store.ReadText(key, cfg::kCasterAddress);
    c.operator_name = Field(store.ReadText(key, cfg::kCasterOperator));
    std::string folder = cfg::kMountpointsKey;
    folder.pop_back();
    for (const std::string& name : store.SubKeys(folder)) {
        if (!IsMountpointName(name)) {
            c.refused.push_back("mountpoint \"" + name + "\": not a mountpoint name");
            continue;
        }
        const std::string k = cfg::kMountpointsKey + name;
        MountpointConfig m;
        m.name = name;
        m.receiver = store.ReadText(k, cfg::kMountReceiver);
        m.messages = MessageLists(store.ReadText(k, cfg::kMountMessages));
        m.public_access = store.ReadFlag(k, cfg::kMountPublic);
        m.relay = store.ReadFlag(k, cfg::kMountRelay);
        m.source_password = store.ReadText(k, cfg::kMountSourcePassword);
        m.identifier = Field(store.ReadText(k, cfg::kMountIdentifier));
        if (m.identifier.empty()) m.identifier = Field(m.relay ? name : m.receiver);
        m.format = Field(store.ReadText(k, cfg::kMountFormat));
        m.format_details = Field(store.ReadText(k, cfg::kMountFormatDetails));
        m.carrier = store.ReadNumber(k, cfg::kMountCarrier);
        m.nav_system = Field(store.ReadText(k, cfg::kMountNavSystem));
        m.network = Field(store.ReadText(k, cfg::kMountNetwork));
        m.country = Field(store.ReadText(k, cfg::kMountCountry));
        m.latitude = Field(store.ReadText(k, cfg::kMountLatitude));
        m.longitude = Field(store.ReadText(k, cfg::kMountLongitude));
        m.nmea = store.ReadNumber(k, cfg::kMountNmea) ? 1 : 0;
        m.bitrate = store.ReadNumber(k, cfg::kMountBitrate);
        if (m.relay && m.source_password.empty()) {
            c.refused.push_back("mountpoint " + name + ": a relay needs a SourcePassword");
            continue;
        }
        if (!m.relay && (m.receiver.empty() || m.messages.empty())) {
            c.refused.push_back("mountpoint " + name + ": no Receiver or no Messages");
            continue;
        }
        c.mountpoints.push_back(std::move(m));
    }
    std::string uploads = cfg::kUploadsKey;
    uploads.pop_back();
    for (const std::string& name : store.SubKeys(uploads)) {
        const std::string k = cfg::kUploadsKey + name;
        UploadConfig u;
        u.name = name;
        u.mountpoint = store.ReadText(k, cfg::kUploadMountpoint);
        u.host = store.ReadText(k, cfg::kUploadHost);
        const uint32_t port = store.ReadNumber(k, cfg::kUploadPort);
        u.port = static_cast<uint16_t>(port);
        u.remote_mount = store.ReadText(k, cfg::kUploadRemoteMount);
        if (u.remote_mount.empty()) u.remote_mount = u.mountpoint;
        u.user = store.ReadText(k, cfg::kUploadUser);
        u.password = store.ReadText(k, cfg::kUploadPassword);
        u.version = store.ReadNumber(k, cfg::kUploadVersion) == 1 ? 1 : 2;
        if (c.Find(u.mountpoint) == nullptr) {
            c.refused.push_back("upload " + name + ": no mountpoint \"" + u.mountpoint + "\"");
            continue;
        }
        if (u.host.empty() || port == 0 || port > 65535 || !IsMountpointName(u.remote_mount)) {
            c.refused.push_back("upload " + name + ": no Host, Port or RemoteMount");
            continue;
        }
        c.uploads.push_back(std::move(u));
    }
    return c;
}

}  // namespace orvana::ntrip
