#pragma once
// The system calls the server makes where a station meets its faults (opening a device, reading,
// writing and sending with short counts, accepting, starting a thread, writing files and the
// store, reading the clocks), behind one interface. The default passes each call straight to the
// system; a test derives from EnvWrapper, changes the calls it is about and makes its wrapper
// current with ScopedEnv, so the real code meets a full disk or a port that will not open.
//
// One Env is current for the whole process. A test installs its own before it starts what it
// drives and stops all of it before the scope ends.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>

struct sockaddr;

namespace orvana::platform {

// A piece of a gathered send.
struct ByteSpan {
    const void* data;
    size_t size;
};
// Pieces past this many are left for the next send.
inline constexpr size_t kMaxGatheredSpans = 64;

class Env {
  public:
    virtual ~Env() = default;

    // Each behaves as the system call of the same name: -1 with errno set on failure.
    virtual int Open(const char* path, int flags, unsigned mode) = 0;
    virtual long Read(int fd, void* buffer, size_t length) = 0;
    virtual long Write(int fd, const void* data, size_t length) = 0;
    virtual long WriteAt(int fd, const void* data, size_t length, int64_t offset) = 0;
    virtual long Send(int fd, const void* data, size_t length, int flags) = 0;
    // sendmsg() of the first `count` pieces (at most kMaxGatheredSpans) in order.
    virtual long SendGathered(int fd, const ByteSpan* spans, size_t count, int flags) = 0;
    virtual long Receive(int fd, void* buffer, size_t length, int flags) = 0;
    virtual int Accept(int fd, sockaddr* address, unsigned* length, int flags) = 0;
    // Starts `body` on `thread`: 0, or the errno that kept it from starting.
    virtual int StartThread(std::thread* thread, std::function<void()> body) = 0;
    // The source of the tick count (milliseconds, never going back) and the calendar clock,
    // which an operator or a time service may set back or forth.
    virtual uint64_t MonotonicMs() = 0;
    virtual std::chrono::system_clock::time_point WallClock() = 0;
};

// The pass-through to the system.
Env& DefaultEnv();
// The Env every platform call goes through.
Env& CurrentEnv();

// Forwards every call to `target`; a test overrides only what it changes.
class EnvWrapper : public Env {
  public:
    explicit EnvWrapper(Env& target = DefaultEnv()) : target_(target) {}
    Env& target() { return target_; }

    int Open(const char* path, int flags, unsigned mode) override;
    long Read(int fd, void* buffer, size_t length) override;
    long Write(int fd, const void* data, size_t length) override;
    long WriteAt(int fd, const void* data, size_t length, int64_t offset) override;
    long Send(int fd, const void* data, size_t length, int flags) override;
    long SendGathered(int fd, const ByteSpan* spans, size_t count, int flags) override;
    long Receive(int fd, void* buffer, size_t length, int flags) override;
    int Accept(int fd, sockaddr* address, unsigned* length, int flags) override;
    int StartThread(std::thread* thread, std::function<void()> body) override;
    uint64_t MonotonicMs() override;
    std::chrono::system_clock::time_point WallClock() override;

  private:
    Env& target_;
};

// Makes `env` current for its lifetime and restores the previous one after.
class ScopedEnv {
  public:
    explicit ScopedEnv(Env& env);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    Env* previous_;
};

}  // namespace orvana::platform
