#include "platform/env.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>
#include <system_error>

namespace orvana::platform {
namespace {

static_assert(sizeof(unsigned) == sizeof(socklen_t));

class SystemEnv final : public Env {
  public:
    int Open(const char* path, int flags, unsigned mode) override {
        return ::open(path, flags, static_cast<mode_t>(mode));
    }
    long Read(int fd, void* buffer, size_t length) override { return ::read(fd, buffer, length); }
    long Write(int fd, const void* data, size_t length) override {
        return ::write(fd, data, length);
    }
    long WriteAt(int fd, const void* data, size_t length, int64_t offset) override {
        return ::pwrite(fd, data, length, static_cast<off_t>(offset));
    }
    long Send(int fd, const void* data, size_t length, int flags) override {
        return ::send(fd, data, length, flags);
    }
    long SendGathered(int fd, const ByteSpan* spans, size_t count, int flags) override {
        iovec pieces[kMaxGatheredSpans];
        count = std::min(count, kMaxGatheredSpans);
        for (size_t i = 0; i < count; ++i)
            pieces[i] = {const_cast<void*>(spans[i].data), spans[i].size};  // only read
        msghdr m{};
        m.msg_iov = pieces;
        m.msg_iovlen = count;
        return ::sendmsg(fd, &m, flags);
    }
    long Receive(int fd, void* buffer, size_t length, int flags) override {
        return ::recv(fd, buffer, length, flags);
    }
    int Accept(int fd, sockaddr* address, unsigned* length, int flags) override {
        return ::accept4(fd, address, reinterpret_cast<socklen_t*>(length), flags);
    }
    int StartThread(std::thread* thread, std::function<void()> body) override {
        try {
            *thread = std::thread(std::move(body));
            return 0;
        } catch (const std::system_error& e) {
            return e.code().value() != 0 ? e.code().value() : EAGAIN;
        }
    }
    uint64_t MonotonicMs() override {
        using namespace std::chrono;
        return static_cast<uint64_t>(
            duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    }
    std::chrono::system_clock::time_point WallClock() override {
        return std::chrono::system_clock::now();
    }
};

// Never destroyed: a thread still running while the program exits may yet read the clock.
SystemEnv& System() {
    alignas(SystemEnv) static unsigned char storage[sizeof(SystemEnv)];
    static SystemEnv* const env = ::new (storage) SystemEnv();
    return *env;
}

// Null while the default is current.
std::atomic<Env*> current_env{nullptr};

}  // namespace

Env& DefaultEnv() {
    return System();
}

Env& CurrentEnv() {
    Env* env = current_env.load(std::memory_order_acquire);
    return env != nullptr ? *env : System();
}

int EnvWrapper::Open(const char* path, int flags, unsigned mode) {
    return target_.Open(path, flags, mode);
}
long EnvWrapper::Read(int fd, void* buffer, size_t length) {
    return target_.Read(fd, buffer, length);
}
long EnvWrapper::Write(int fd, const void* data, size_t length) {
    return target_.Write(fd, data, length);
}
long EnvWrapper::WriteAt(int fd, const void* data, size_t length, int64_t offset) {
    return target_.WriteAt(fd, data, length, offset);
}
long EnvWrapper::Send(int fd, const void* data, size_t length, int flags) {
    return target_.Send(fd, data, length, flags);
}

long EnvWrapper::SendGathered(int fd, const ByteSpan* spans, size_t count, int flags) {
    return target_.SendGathered(fd, spans, count, flags);
}
long EnvWrapper::Receive(int fd, void* buffer, size_t length, int flags) {
    return target_.Receive(fd, buffer, length, flags);
}
int EnvWrapper::Accept(int fd, sockaddr* address, unsigned* length, int flags) {
    return target_.Accept(fd, address, length, flags);
}
int EnvWrapper::StartThread(std::thread* thread, std::function<void()> body) {
    return target_.StartThread(thread, std::move(body));
}
uint64_t EnvWrapper::MonotonicMs() {
    return target_.MonotonicMs();
}
std::chrono::system_clock::time_point EnvWrapper::WallClock() {
    return target_.WallClock();
}

ScopedEnv::ScopedEnv(Env& env) : previous_(current_env.exchange(&env)) {}

ScopedEnv::~ScopedEnv() {
    current_env.store(previous_);
}

}  // namespace orvana::platform
