#include "core/client_session.h"

#include "core/log_redaction.h"
#include "platform/clock.h"

namespace orvana {

bool ClientSession::QueueFrames(std::vector<uint8_t> bytes) {
    return QueueFrames(std::make_shared<const std::vector<uint8_t>>(std::move(bytes)));
}

bool ClientSession::QueueFrames(SharedBytes bytes) {
    if (frame_sink) return frame_sink(bytes);
    const SendQueue::Push result = outgoing.Queue(std::move(bytes));
    if (result == SendQueue::Push::kOverBound) {
        lost = true;
        Cleanup();
    }
    return result == SendQueue::Push::kQueued;
}

void ClientSession::NoteRequest(std::string_view text) {
    std::string shown = RedactRequest(text.substr(0, kShownRequest));
    std::lock_guard<std::mutex> guard(request_mu_);
    last_request_ = std::move(shown);
}

std::string ClientSession::last_request() const {
    std::lock_guard<std::mutex> guard(request_mu_);
    return last_request_;
}

void ClientSession::CutOff(int error) {
    if (!outgoing.CutOff(error, platform::TickCount())) return;
    lost = true;
    Cleanup();
}

}  // namespace orvana
