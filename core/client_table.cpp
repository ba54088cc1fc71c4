#include "core/client_table.h"

#include "platform/clock.h"

namespace orvana {

std::shared_ptr<ClientSession> ClientTable::AllocateSession(unsigned first) {
    for (;;) {
        std::unique_lock<platform::RecursiveLock> guard(lock_, std::try_to_lock);
        if (guard.owns_lock()) {
            for (unsigned i = first; i < kSlots; ++i) {
                if (slots_[i]) continue;
                slots_[i] = std::make_shared<ClientSession>(static_cast<uint16_t>(i));
                occupied_[i] = true;
                return slots_[i];
            }
            return nullptr;
        }
        // Busy: waiting is worth it only while some slot is free.
        bool any_free = false;
        for (unsigned i = first; i < kSlots && !any_free; ++i) any_free = !occupied_[i];
        if (!any_free) return nullptr;
        platform::SleepMs(200);
    }
}

std::shared_ptr<ClientSession> ClientTable::Get(unsigned i) {
    if (i >= kSlots) return nullptr;
    std::lock_guard<platform::RecursiveLock> guard(lock_);
    return slots_[i];
}

std::shared_ptr<ClientSession> ClientTable::Take(unsigned i) {
    if (i >= kSlots) return nullptr;
    std::lock_guard<platform::RecursiveLock> guard(lock_);
    std::shared_ptr<ClientSession> s = std::move(slots_[i]);
    slots_[i].reset();
    occupied_[i] = false;
    return s;
}

void ClientTable::Clear() {
    std::lock_guard<platform::RecursiveLock> guard(lock_);
    for (auto& s : slots_) s.reset();
    for (auto& o : occupied_) o = false;
}

unsigned ClientTable::Count() {
    std::lock_guard<platform::RecursiveLock> guard(lock_);
    unsigned n = 0;
    for (auto& s : slots_) n += s ? 1 : 0;
    return n;
}

}  // namespace orvana
