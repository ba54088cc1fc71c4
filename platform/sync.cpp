#include "platform/sync.h"

namespace orvana::platform {

void Event::Set() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        set_ = true;
    }
    if (auto_reset_)
        cv_.notify_one();
    else
        cv_.notify_all();
}

void Event::ResetEvent() {
    std::lock_guard<std::mutex> lock(mu_);
    set_ = false;
}

bool Event::IsSet() {
    std::lock_guard<std::mutex> lock(mu_);
    return set_;
}

bool Event::Wait(uint32_t timeout_ms) {
    std::unique_lock<std::mutex> lock(mu_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return set_; }))
        return false;
    if (auto_reset_) set_ = false;
    return true;
}

}  // namespace orvana::platform
