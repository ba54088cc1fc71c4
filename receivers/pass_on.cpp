#include "receivers/pass_on.h"

#include <algorithm>
#include <string>

#include "core/client_session.h"
#include "receivers/command_engine.h"
#include "receivers/receiver.h"

namespace orvana {

unsigned PassOn(Receiver& gate, ClientSession& s) {
    const std::string text(
        s.receive_buffer.data(),
        std::min<size_t>(s.frame_length + 6u, ClientSession::kReceiveBufferSize));
    ++gate.sender_count;
    std::lock_guard<platform::RecursiveLock> command_guard(gate.command_lock);
    return SendCommand(gate, text, &s.reply, 75000) ? 1 : 0;
}

}  // namespace orvana
