#include "links/modem_link.h"

#include <cstdlib>

#include "core/config_keys.h"
#include "core/config_store.h"
#include "core/event_log.h"
#include "platform/clock.h"

namespace orvana {

ModemLink::ModemLink(ReceiverContext context, const std::string& addr)
    : ComLink(std::move(context), addr, LinkKind::kModem) {
    if (!error_text.empty()) return;
    const ReceiverContext& c = this->context();
    const std::string key = c.interface_path + c.interface_name;
    const std::string speed = c.store->ReadText(key, cfg::kSpeed.name, cfg::kModemSpeed);
    if (!SetSpeed(static_cast<uint32_t>(std::strtoul(speed.c_str(), nullptr, 10)))) {
        error_text = "ER:SetCommState() failed";
        return;
    }
    SetFlowControl(true);
    const bool gsm = c.store->ReadFlag(key, cfg::kModemType);
    const std::string phone = c.store->ReadText(key, cfg::kPhone);
    bool connected = false;
    if (!phone.empty()) {
        talking_ = true;
        command_event_.ResetEvent();
        reader_started_ = StartReader("Dev/MODEM " + c.receiver_name + " thread started",
                                      "Dev/MODEM " + c.receiver_name + " thread terminated.\r\n");
        // What the modem says before the reader runs waits in the port for it.
        if (!reader_started_) return;
        connected = Dial(gsm, phone);
        talking_ = false;
    }
    if (!connected) error_text = "ER:no CONNECT on dial";
}

ModemLink::~ModemLink() {
    if (reader_started_) {
        talking_ = true;
        platform::SleepMs(kGuardMs);
        ModemCommand(6000, "+++");
        platform::SleepMs(kGuardMs);
        ModemCommand(6000, "ath");
        talking_ = false;
    }
    StopReader();
}

bool ModemLink::Dial(bool gsm, const std::string& phone) {
    const uint32_t limit = context().modem_dial_ms;
    const bool answered =
        gsm ? ModemCommand(4000, "ate0") && ModemCommand(8000, "atv1") &&
                  ModemCommand(limit ? limit : 60000, "atd" + phone)
            : ModemCommand(1000, "ate0v1x7") && ModemCommand(limit ? limit : 90000, "atd" + phone);
    {
        std::lock_guard<std::mutex> guard(line_lock_);
        if (!answered || !line_.StartsWith("\r\nCONNECT")) return false;
    }
    platform::SleepMs(kGuardMs);
    return true;
}

bool ModemLink::ModemCommand(uint32_t timeout_ms, std::string command) {
    if (command.size() > kMaxCommand) return false;
    log().WriteLine("\tModem " + address + " < " + command);
    if (command.empty() || command[0] != '+') command += '\r';
    {
        std::lock_guard<std::mutex> guard(line_lock_);
        line_.Clear();
    }
    command_event_.ResetEvent();
    Write(command.data(), static_cast<uint32_t>(command.size()));
    if (!command_event_.Wait(timeout_ms)) return false;
    log().WriteLine("\tModem " + address + " > " + ReplyLine());
    return true;
}

std::string ModemLink::ReplyLine() const {
    std::lock_guard<std::mutex> guard(line_lock_);
    return line_.Text();
}

void ModemLink::OnInput(size_t n) {
    if (!talking_) {
        HandleInput(n);
        return;
    }
    std::lock_guard<std::mutex> guard(line_lock_);
    if (line_.Append(reinterpret_cast<const char*>(input_area.data()), n)) command_event_.Set();
}

}  // namespace orvana
