#pragma once
// The faults a station meets, injected under the real code through the platform Env: a device
// that will not open, a disk that is full, sends that take a few bytes or nothing, accepts out of
// descriptors, threads that cannot start, clocks that wrap or are set. Install it with
// platform::ScopedEnv before starting what the test drives, and stop all of that before the
// scope ends. Every rule is thread-safe; rules match files by a piece of their path and sockets
// by their local port.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/env.h"

namespace orvana::test {

class FaultEnv : public platform::EnvWrapper {
  public:
    // Opens of a path containing `part` fail with `error`, `count` times.
    void FailOpens(const std::string& part, int error, int count);
    // Writes to files whose path contains `part` fail with `error` until ClearFileWrites, once
    // `after` more bytes have gone in (the write that crosses it is cut short there).
    void FailFileWrites(const std::string& part, int error, size_t after = 0);
    void ClearFileWrites();
    // Reads of files (devices) whose path contains `part` fail with EAGAIN, `count` times.
    void AgainOnReads(const std::string& part, int count);
    // Writes to files (devices) whose path contains `part` fail with EAGAIN until cleared.
    void AgainOnWrites(const std::string& part);
    // Thread starts fail with EAGAIN, `count` times, after `after` more have started.
    void FailThreadStarts(int count, int after = 0);
    // Accepts fail with `error`, `count` times.
    void FailAccepts(int error, int count);
    // Sends on sockets whose local port is `port` (a server's connections), or with `to_peer`
    // whose peer's port is (the server's connections to a receiver there): each takes at most
    // `piece` bytes, after `again` EAGAIN answers.
    void ShapeSends(uint16_t port, size_t piece, int again, bool to_peer = false);
    // Sends towards the peer at port `peer_port` fail with ECONNRESET once `after` bytes went.
    void CutSendsTo(uint16_t peer_port, size_t after);
    void ClearSends();
    // From now on the tick count is `ms_before_wrap` milliseconds short of wrapping at 2^32.
    // Only before the test starts anything: a running wait would see time leap ahead.
    void WrapTicksAfter(uint32_t ms_before_wrap);
    // The calendar clock is set by `by` (back when negative), as an operator or NTP might.
    void SetWallClockBy(std::chrono::seconds by);

    int opens_failed() const { return opens_failed_; }
    int accepts_failed() const { return accepts_failed_; }
    int threads_refused() const { return threads_refused_; }
    int reads_failed() const { return reads_failed_; }
    int writes_failed() const { return writes_failed_; }
    int sends_shaped() const { return sends_shaped_; }

    int Open(const char* path, int flags, unsigned mode) override;
    long Read(int fd, void* buffer, size_t length) override;
    long Write(int fd, const void* data, size_t length) override;
    long WriteAt(int fd, const void* data, size_t length, int64_t offset) override;
    long Send(int fd, const void* data, size_t length, int flags) override;
    // While sends are shaped or cut: the first piece only, as Send would take it.
    long SendGathered(int fd, const platform::ByteSpan* spans, size_t count, int flags) override;
    int Accept(int fd, sockaddr* address, unsigned* length, int flags) override;
    int StartThread(std::thread* thread, std::function<void()> body) override;
    uint64_t MonotonicMs() override;
    std::chrono::system_clock::time_point WallClock() override;

  private:
    // How much of a write of `length` bytes to `fd` may go in: `length`, fewer, or 0 with
    // errno set.
    size_t WritePass(int fd, size_t length);

    std::mutex mu_;
    std::string open_part_;         // GUARDED_BY(mu_)
    int open_error_ = 0;            // GUARDED_BY(mu_)
    int open_count_ = 0;            // GUARDED_BY(mu_)
    std::string write_part_;        // GUARDED_BY(mu_)
    int write_error_ = 0;           // GUARDED_BY(mu_)
    size_t write_budget_ = 0;       // GUARDED_BY(mu_)
    std::string read_again_part_;   // GUARDED_BY(mu_)
    int read_again_count_ = 0;      // GUARDED_BY(mu_)
    std::string write_again_part_;  // GUARDED_BY(mu_)
    uint16_t send_port_ = 0;        // GUARDED_BY(mu_)
    bool send_to_peer_ = false;     // GUARDED_BY(mu_)
    size_t send_piece_ = 0;         // GUARDED_BY(mu_)
    int send_again_ = 0;            // GUARDED_BY(mu_)
    int send_again_left_ = 0;       // GUARDED_BY(mu_)
    uint16_t cut_peer_port_ = 0;    // GUARDED_BY(mu_)
    size_t cut_after_ = 0;          // GUARDED_BY(mu_)
    size_t sent_to_peer_ = 0;       // GUARDED_BY(mu_)
    std::atomic<int> thread_failures_{0};
    std::atomic<int> threads_before_failures_{0};
    std::atomic<int> accept_error_{0};
    std::atomic<int> accept_failures_{0};
    std::atomic<uint64_t> tick_offset_{0};
    std::atomic<int64_t> wall_offset_s_{0};

    std::atomic<int> opens_failed_{0};
    std::atomic<int> accepts_failed_{0};
    std::atomic<int> threads_refused_{0};
    std::atomic<int> reads_failed_{0};
    std::atomic<int> writes_failed_{0};
    std::atomic<int> sends_shaped_{0};
};

}  // namespace orvana::test
