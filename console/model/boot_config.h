#pragma once
// Choose Boot Configuration: which named configuration the server runs when started without a
// name, and each configuration's listening address and port. Nothing of the running server
// changes; the choice takes effect at the next start.

#include <string>
#include <vector>

namespace orvana {
class ConfigStore;
}

namespace orvana::console {

inline constexpr const char* kNoValue = "NONE";

struct BootValues {
    std::string port = kNoValue;  // "NONE" when the configuration has no PortServer
    std::string address;          // empty when it has no IPAdress
    bool auto_start = false;
};

// `root`: a store at the configuration root (ConfigStore::AtRoot).
std::vector<std::string> ConfigurationNames(const ConfigStore& root);
BootValues ReadBootValues(const ConfigStore& root, const std::string& name);

// The IP Address list: every interface address in the system's order, then "0.0.0.0".
std::vector<std::string> ListenAddressChoices();

enum class BootSave {
    kSaved,    // "Changes will take effect after you restart the program"
    kBadName,  // "Failed name config!": nothing written
    kNoPort,   // an empty Port field: nothing written
    kFailed,   // the store did not take it
};
// `is_new`: the name was typed after "New" and must not exist; otherwise it must.
BootSave SaveBootConfiguration(const ConfigStore& root, const std::string& name, bool is_new,
                               const BootValues& values);

}  // namespace orvana::console
