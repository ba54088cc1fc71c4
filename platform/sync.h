#pragma once
// Thread, event and lock helpers standing for the Windows primitives the server was built on.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace orvana::platform {

// A re-entrant lock with try-enter (a critical section).
using RecursiveLock = std::recursive_mutex;

// A Windows-style event: manual-reset stays set until Reset; auto-reset wakes one waiter and
// clears itself.
class Event {
  public:
    enum class Reset { Manual, Auto };
    explicit Event(Reset mode = Reset::Manual, bool initially_set = false)
        : auto_reset_(mode == Reset::Auto), set_(initially_set) {}

    void Set();
    void ResetEvent();
    bool IsSet();
    // True when the event was set within `timeout_ms`. Never waits without a limit.
    bool Wait(uint32_t timeout_ms);

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    const bool auto_reset_;
    bool set_;  // GUARDED_BY(mu_)
};

// A lock whose waiters may give up after a time. Built on a mutex and a condition variable, not
// on a timed mutex: g++ 12's ThreadSanitizer does not see pthread_mutex_clocklock, and would
// report the data it guards as raced. Meets Lockable (std::lock_guard, std::unique_lock).
class TimedLock {
  public:
    void lock();
    bool try_lock();
    // True when the lock was taken within `limit_ms`.
    bool try_lock_for(std::chrono::milliseconds limit);
    void unlock();

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool held_ = false;  // GUARDED_BY(mu_)
};

// A joinable thread that is always joined, never detached or killed. The body must watch the
// stop request (or a wake-up of its own) so that Join returns.
class Thread {
  public:
    Thread() = default;
    // Throws std::system_error when the system cannot start a thread: for threads without
    // which the program cannot run at all.
    explicit Thread(std::function<void()> body) : thread_(std::move(body)) {}
    // Starts the body; false with `error` set when the system cannot start a thread.
    bool Start(std::function<void()> body, std::string* error);
    Thread(Thread&&) = default;
    Thread& operator=(Thread&& other) {
        Join();
        thread_ = std::move(other.thread_);
        return *this;
    }
    ~Thread() { Join(); }
    bool Joinable() const { return thread_.joinable(); }
    bool IsCurrent() const { return thread_.get_id() == std::this_thread::get_id(); }
    void Join() {
        if (thread_.joinable() && !IsCurrent()) thread_.join();
    }
    // For a thread that ends itself (its own object is being released on it).
    void Detach() {
        if (thread_.joinable()) thread_.detach();
    }

  private:
    std::thread thread_;
};

}  // namespace orvana::platform
