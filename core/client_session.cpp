#include "core/client_session.h"

#include "platform/clock.h"

namespace orvana {

bool ClientSession::QueueFrames(std::vector<uint8_t> bytes) {
    return QueueFrames(std::make_shared<const std::vector<uint8_t>>(std::move(bytes)));
}

bool ClientSession::QueueFrames(SharedBytes bytes) {
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
