#pragma once
// The Connection page of a receiver's properties: the interface settings of each link kind as
// the form holds them, read from the store and saved back under the interface's own key.

#include <cstdint>
#include <string>

#include "links/link.h"

namespace orvana {
class ConfigStore;
}

namespace orvana::console {

struct InterfaceForm {
    LinkKind kind = LinkKind::kCom;
    std::string com_port = "COM 1";  // a port list entry
    std::string speed = "115200";
    bool rtscts = false;
    std::string host = "127.0.0.1";
    uint32_t port = 8002;
    bool check_login = false;
    std::string password;  // written only while check_login is set
    bool use_ftp = true;
    std::string usb_device;  // a device list entry
    std::string gate_host = "127.0.0.1";
    std::string gate_user = "Guest";
    std::string gate_receiver = "None";
    bool gsm = false;
    std::string pin = "None";  // written only while gsm is set
    std::string phone = "None";
};

// The baud-rate list, in the order shown.
inline constexpr const char* kBaudRates[] = {"115200", "921600", "460800", "230400",
                                             "57600",  "38400",  "19200",  "9600"};

// The `Interface` text the form stands for.
std::string InterfaceText(const InterfaceForm& form);

// The receiver's interface and its settings; a kind's fields keep their defaults where the
// store has nothing.
InterfaceForm ReadInterfaceForm(const ConfigStore& store, const std::string& receiver);

// Another COM port chosen: that port's stored settings, else RTS/CTS off and 9600.
void ShowComPort(const ConfigStore& store, const std::string& port_entry, InterfaceForm* form);

enum class SaveResult {
    kSaved,
    kInterfaceUsed,  // "Inretface already used!": nothing changed, the old key kept
    kFailed,         // the store did not take it: nothing changed
};
SaveResult SaveInterfaceForm(const ConfigStore& store, const std::string& receiver,
                             const InterfaceForm& form);

}  // namespace orvana::console
