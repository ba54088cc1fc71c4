#include "console/model/interface_form.h"

#include "core/config_keys.h"
#include "core/config_store.h"

namespace orvana::console {
namespace {

constexpr const char* kComDefaultSpeed = "9600";

std::string InterfaceKey(const std::string& text) {
    return std::string(cfg::kInterfaceKey) + text;
}

}  // namespace

std::string InterfaceText(const InterfaceForm& f) {
    switch (f.kind) {
        case LinkKind::kCom:
            return f.com_port;
        case LinkKind::kTcp:
            return "TCP " + f.host + ":" + std::to_string(f.port);
        case LinkKind::kUsb:
            return "USB " + f.usb_device;
        case LinkKind::kGate:
            return "GATE " + f.gate_host;
        case LinkKind::kModem:
            // The port's number: at most three characters of the entry from its fifth on.
            return "MODEM " + (f.com_port.size() > 4 ? f.com_port.substr(4, 3) : std::string());
    }
    return {};
}

InterfaceForm ReadInterfaceForm(const ConfigStore& store, const std::string& receiver) {
    InterfaceForm f;
    const std::string text =
        store.ReadText(std::string(cfg::kReceiversKey) + receiver, cfg::kInterface);
    const std::string key = InterfaceKey(text);
    std::string address;
    if (!ParseInterface(text, &f.kind, &address)) return f;
    switch (f.kind) {
        case LinkKind::kCom:
            ShowComPort(store, text, &f);
            break;
        case LinkKind::kTcp:
            f.host = address.substr(0, address.find(':'));
            f.port = store.ReadNumber(key, cfg::kPort);
            f.check_login = store.ReadFlag(key, cfg::kCheckLogin.name, false);
            f.password = store.ReadText(key, cfg::kInterfacePassword);
            f.use_ftp = store.ReadFlag(key, cfg::kUSEFTP.name, true);
            break;
        case LinkKind::kUsb:
            f.usb_device = store.ReadText(key, cfg::kID.name, address);
            break;
        case LinkKind::kGate:
            f.gate_host = address;
            f.gate_user = store.ReadText(key, cfg::kUsr.name, cfg::kUsrAdmin);
            f.gate_receiver = store.ReadText(key, cfg::kRcv.name, cfg::kRcvAdmin);
            break;
        case LinkKind::kModem:
            f.com_port = "COM " + address;
            f.speed = store.ReadText(key, cfg::kSpeed.name, cfg::kModemSpeed);
            f.gsm = store.ReadFlag(key, cfg::kModemType);
            f.pin = store.ReadText(key, cfg::kPin);
            f.phone = store.ReadText(key, cfg::kPhone.name, "None");
            break;
    }
    return f;
}

void ShowComPort(const ConfigStore& store, const std::string& port_entry, InterfaceForm* form) {
    form->com_port = port_entry;
    const std::string key = InterfaceKey(port_entry);
    const bool stored = store.KeyExists(key);
    form->rtscts = stored && store.ReadNumber(key, cfg::kRTSCTS.name, 0) != 0;
    form->speed = stored ? store.ReadText(key, cfg::kSpeed.name, kComDefaultSpeed)
                         : std::string(kComDefaultSpeed);
}

SaveResult SaveInterfaceForm(const ConfigStore& store, const std::string& receiver,
                             const InterfaceForm& f) {
    const std::string receiver_key = std::string(cfg::kReceiversKey) + receiver;
    const std::string old_text = store.ReadText(receiver_key, cfg::kInterface.name, "");
    const std::string text = InterfaceText(f);
    const std::string key = InterfaceKey(text);
    // Checked before the old key goes, so a refused save loses nothing.
    if (text != old_text && store.KeyExists(key)) return SaveResult::kInterfaceUsed;
    const bool saved = store.WriteTogether([&] {
        if (!old_text.empty() && store.KeyExists(InterfaceKey(old_text)) &&
            !store.DeleteKey(InterfaceKey(old_text)))
            return false;
        bool ok = true;
        switch (f.kind) {
            case LinkKind::kCom:
                ok = store.WriteText(key, cfg::kSpeed.name, f.speed) &&
                     store.WriteNumber(key, cfg::kRTSCTS.name, f.rtscts ? 1 : 0);
                break;
            case LinkKind::kTcp:
                ok = store.WriteNumber(key, cfg::kPort.name, f.port) &&
                     store.WriteFlag(key, cfg::kCheckLogin.name, f.check_login) &&
                     store.WriteFlag(key, cfg::kUSEFTP.name, f.use_ftp) &&
                     (!f.check_login ||
                      store.WriteText(key, cfg::kInterfacePassword.name, f.password));
                break;
            case LinkKind::kUsb:
                ok = store.WriteText(key, cfg::kID.name, f.usb_device);
                break;
            case LinkKind::kGate:
                ok = store.WriteText(key, cfg::kUsr.name, f.gate_user) &&
                     store.WriteText(key, cfg::kRcv.name, f.gate_receiver);
                break;
            case LinkKind::kModem:
                ok = store.WriteText(key, cfg::kSpeed.name, f.speed) &&
                     store.WriteFlag(key, cfg::kModemType.name, f.gsm) &&
                     (!f.gsm || store.WriteText(key, cfg::kPin.name, f.pin)) &&
                     store.WriteText(key, cfg::kPhone.name, f.phone);
                break;
        }
        return ok && store.WriteText(receiver_key, cfg::kInterface.name, text);
    });
    return saved ? SaveResult::kSaved : SaveResult::kFailed;
}

}  // namespace orvana::console
