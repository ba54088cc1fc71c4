#include "platform/sync.h"

#include <cstring>

#include "platform/env.h"

namespace orvana::platform {

void Event::Set() {
    // Notified under the lock: a waiter that returns may destroy the event at once, and must
    // not find this thread still inside it.
    std::lock_guard<std::mutex> lock(mu_);
    set_ = true;
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

void TimedLock::lock() {
    std::unique_lock<std::mutex> guard(mu_);
    cv_.wait(guard, [this] { return !held_; });
    held_ = true;
}

bool TimedLock::try_lock() {
    std::lock_guard<std::mutex> guard(mu_);
    if (held_) return false;
    held_ = true;
    return true;
}

bool TimedLock::try_lock_for(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(mu_);
    if (!cv_.wait_for(guard, limit, [this] { return !held_; })) return false;
    held_ = true;
    return true;
}

void TimedLock::unlock() {
    std::lock_guard<std::mutex> guard(mu_);
    held_ = false;
    cv_.notify_one();
}

bool Thread::Start(std::function<void()> body, std::string* error) {
    Join();
    const int e = CurrentEnv().StartThread(&thread_, std::move(body));
    if (e == 0) return true;
    *error = std::strerror(e);
    return false;
}

}  // namespace orvana::platform
