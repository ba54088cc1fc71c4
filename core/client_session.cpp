#include "core/client_session.h"

#include "platform/clock.h"

namespace orvana {

bool ClientSession::QueueFrames(std::vector<uint8_t> bytes) {
    const SendQueue::Push result = outgoing.Queue(std::move(bytes));
    if (result == SendQueue::Push::kOverBound) {
        lost = true;
        Cleanup();
    }
    return result == SendQueue::Push::kQueued;
}

void ClientSession::CutOff(int error) {
    if (!outgoing.CutOff(error, platform::TickCount())) return;
    lost = true;
    Cleanup();
}

}  // namespace orvana
