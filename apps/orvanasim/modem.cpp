#include "apps/orvanasim/modem.h"

#include "apps/orvanasim/serve.h"
#include "platform/clock.h"

namespace orvana::sim {
namespace {

constexpr uint32_t kEscapeSilenceMs = 1000;

bool StartsWithNoCase(const std::string& s, const char* prefix) {
    for (size_t i = 0; prefix[i] != '\0'; ++i)
        if (i >= s.size() || (s[i] | 0x20) != prefix[i]) return false;
    return true;
}

}  // namespace

bool RunModemCommands(Peer& line, ModemAnswer answer, Transcript* transcript) {
    std::string pending;
    char buffer[256];
    while (!StopRequested()) {
        if (line.WaitReadable(100) <= 0) continue;
        const long n = line.Read(buffer, sizeof buffer);
        if (n <= 0) continue;
        pending.append(buffer, static_cast<size_t>(n));
        // The escape needs no line end; in command mode it changes nothing.
        if (pending.rfind("+++", 0) == 0) {
            if (transcript) transcript->Line("modem< +++");
            line.Write("\r\nOK\r\n");
            pending.erase(0, 3);
        }
        for (size_t cr; (cr = pending.find('\r')) != std::string::npos;) {
            const std::string command = pending.substr(0, cr);
            pending.erase(0, cr + 1);
            if (transcript) transcript->Line("modem< " + Escaped(command + "\r"));
            if (StartsWithNoCase(command, "atd")) {
                if (answer == ModemAnswer::kConnect) {
                    line.Write("\r\nCONNECT 9600\r\n");
                    return true;
                }
                if (answer == ModemAnswer::kNoCarrier) line.Write("\r\nNO CARRIER\r\n");
                Note("modem: dial not connected");
            } else if (StartsWithNoCase(command, "at")) {
                line.Write("\r\nOK\r\n");
            }
        }
        if (pending.size() > 1024) pending.clear();
    }
    return false;
}

void ModemDataPeer::Reset() {
    escaped_ = false;
    last_input_ = platform::TickCount();
}

int ModemDataPeer::WaitReadable(uint32_t timeout_ms) {
    return escaped_ ? -1 : line_.WaitReadable(timeout_ms);
}

long ModemDataPeer::Read(char* buffer, size_t length) {
    if (escaped_) return -1;
    const long n = line_.Read(buffer, length);
    if (n <= 0) return n;
    const uint32_t now = platform::TickCount();
    if (std::string_view(buffer, static_cast<size_t>(n)) == "+++" &&
        now - last_input_ >= kEscapeSilenceMs) {
        if (transcript_) transcript_->Line("modem< +++");
        Note("modem: back in command mode");
        line_.Write("\r\nOK\r\n");
        escaped_ = true;
        return -1;
    }
    last_input_ = now;
    return n;
}

}  // namespace orvana::sim
