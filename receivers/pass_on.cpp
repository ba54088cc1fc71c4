#include "receivers/pass_on.h"

#include <algorithm>
#include <string>

#include "core/client_session.h"
#include "receivers/command_engine.h"
#include "receivers/receiver.h"

namespace orvana {

std::string CurrentRequestFrame(const ClientSession& s) {
    return std::string(s.receive_buffer.data(),
                       std::min<size_t>(s.frame_length + 6u, ClientSession::kReceiveBufferSize));
}

unsigned PassOn(Receiver& gate, ClientSession& s) {
    const std::string text = CurrentRequestFrame(s);
    ++gate.sender_count;
    std::lock_guard<platform::RecursiveLock> command_guard(gate.command_lock);
    return SendCommand(gate, text, &s.reply, 75000) ? 1 : 0;
}

}  // namespace orvana
