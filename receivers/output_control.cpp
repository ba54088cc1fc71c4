// Stopping a receiver's output and sending its output list again, in pieces a command can hold.

#include <string>

#include "platform/clock.h"
#include "receivers/command_engine.h"
#include "receivers/receiver_table.h"

namespace orvana {

void DisableOutput(Receiver& r) {
    if (r.kind == LinkKind::kGate) return;
    InternalCommand(r, kDisableSequence, 0);
    platform::SleepMs(100);
}

bool ResendOutputList(Receiver& r) {
    r.output_active = 1;
    std::string list;
    {
        std::lock_guard<platform::RecursiveLock> att(r.attachment_lock);
        list = r.output.OutputList();
    }
    bool ok = true;
    size_t pos = 0;
    while (pos < list.size()) {
        const std::string_view piece = std::string_view(list).substr(pos, 116);
        const size_t end = piece.rfind('}');
        // Every item ends in "},"; an item too long for one command cannot be sent whole.
        if (end == std::string_view::npos) return false;
        pos += end + 2;
        if (!InternalCommand(r, "%em%em,," + std::string(piece.substr(0, end + 1)), 6000))
            ok = false;
    }
    return ok;
}

}  // namespace orvana
