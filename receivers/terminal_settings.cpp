#include "receivers/terminal_settings.h"

#include <cstdlib>
#include <string>

#include "core/event_log.h"
#include "receivers/command_engine.h"
#include "receivers/receiver.h"

namespace orvana {
namespace {

constexpr uint32_t kSearchOrder[] = {921600, 460800, 230400, 57600, 38400, 19200, 9600};

// The rate in a reply to "print,cur/term/rate": the body after the command's tag.
uint32_t ReportedRate(const Receiver& r) {
    std::string body = ReplyText(r, 5);
    if (!body.empty() && body.front() == '%') {
        const size_t second = body.find('%', 1);
        body = second == std::string::npos ? body.substr(2) : body.substr(second + 1);
    }
    return static_cast<uint32_t>(std::strtoul(body.c_str(), nullptr, 10));
}

}  // namespace

uint32_t SpeedSearch(Receiver& r, bool first_only, bool adopt_configured) {
    const uint32_t configured =
        static_cast<uint32_t>(std::strtoul(r.speed_text.c_str(), nullptr, 10));
    std::vector<uint32_t> speeds{configured};
    speeds.insert(speeds.end(), std::begin(kSearchOrder), std::end(kSearchOrder));
    uint32_t found = 0;
    for (uint32_t s : speeds) {
        if (!r.SetSpeed(s)) continue;
        const std::string tag = "% COM" + r.address + ":" + std::to_string(s) + " %";
        InternalCommand(r, tag + "set,/par/cur/term/rtscts,off", 100);
        const bool quiet = InternalCommand(r, "#OFF#\n" + tag + "dm", 100);
        if (quiet && InternalCommand(r, tag + "print,cur/term/rate", 1000)) {
            found = s;
            break;
        }
        if (first_only) break;
    }
    if (found != 0) {
        const uint32_t reported = ReportedRate(r);
        if (adopt_configured && reported != configured) {
            const uint32_t divisor = reported / found > 1 ? reported / found : 1;
            r.SetSpeed(found);
            if (!InternalCommand(r, "%%set,cur/term/rate," + r.speed_text, 6000))
                found = 0;
            else
                r.SetSpeed(configured / divisor);
        }
        if (found != 0) return found;
    }
    r.log().WriteLine("ER:Can't find speed for COM" + r.address);
    return 0;
}

bool ChangeFlowControl(Receiver& r, bool on) {
    if (!InternalCommand(r, std::string("%rts%set,/par/cur/term/rtscts,") + (on ? "on" : "off"),
                         6000))
        return false;
    return r.SetFlowControl(on);
}

}  // namespace orvana
