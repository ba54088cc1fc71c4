#include "console/model/boot_config.h"

#include <algorithm>

#include "core/config_keys.h"
#include "core/config_store.h"
#include "platform/net.h"

namespace orvana::console {

std::vector<std::string> ConfigurationNames(const ConfigStore& root) {
    return root.SubKeys(cfg::kActiveKey);
}

BootValues ReadBootValues(const ConfigStore& root, const std::string& name) {
    BootValues v;
    v.port = root.ReadText(name, cfg::kPortServer.name, kNoValue);
    v.address = root.ReadText(name, cfg::kIPAdress.name, "");
    v.auto_start = root.ReadNumber(name, cfg::kAutoStart) != 0;
    return v;
}

std::vector<std::string> ListenAddressChoices() {
    std::vector<std::string> choices;
    for (uint32_t a : platform::InterfaceAddresses()) choices.push_back(platform::DottedAddress(a));
    choices.push_back("0.0.0.0");
    return choices;
}

BootSave SaveBootConfiguration(const ConfigStore& root, const std::string& name, bool is_new,
                               const BootValues& values) {
    const std::vector<std::string> names = ConfigurationNames(root);
    const bool exists = std::find(names.begin(), names.end(), name) != names.end();
    if (name.empty() || name.find('\\') != std::string::npos || exists == is_new)
        return BootSave::kBadName;
    if (values.port.empty()) return BootSave::kNoPort;
    const bool written = root.WriteTogether([&] {
        return root.WriteText(cfg::kActiveKey, cfg::kCurrentConfig.name, name) &&
               root.WriteText(name, cfg::kPortServer.name, values.port) &&
               root.WriteText(name, cfg::kIPAdress.name, values.address) &&
               root.WriteNumber(name, cfg::kAutoStart.name, values.auto_start ? 1 : 0);
    });
    return written ? BootSave::kSaved : BootSave::kFailed;
}

}  // namespace orvana::console
