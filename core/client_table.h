#pragma once
// The 128 client slots. Slot 0 is kept for the built-in clients (the information poll and
// script clients); network clients take the first free slot from 1.

#include <array>
#include <atomic>
#include <memory>

#include "core/client_session.h"
#include "platform/sync.h"

namespace orvana {

class ClientTable {
  public:
    static constexpr unsigned kSlots = 128;

    // Re-entrant. Outermost of the session locks: then a session's send queue lock. Never held
    // across an unbounded wait.
    platform::RecursiveLock& lock() { return lock_; }

    // A new session in the first empty slot from `first`; nullptr when none is free.
    std::shared_ptr<ClientSession> AllocateSession(unsigned first);
    // The session in slot `i` (a reference that keeps it alive), or nullptr.
    std::shared_ptr<ClientSession> Get(unsigned i);
    // Takes the session out of slot `i`; nullptr when it was empty.
    std::shared_ptr<ClientSession> Take(unsigned i);
    void Clear();
    unsigned Count();

  private:
    platform::RecursiveLock lock_;
    std::array<std::shared_ptr<ClientSession>, kSlots> slots_;  // GUARDED_BY(lock_)
    // Mirrors which slots are taken, readable without the lock.
    std::array<std::atomic<bool>, kSlots> occupied_{};
};

}  // namespace orvana
