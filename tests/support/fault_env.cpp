#include "tests/support/fault_env.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace orvana::test {
namespace {

std::string PathOf(int fd) {
    char buf[512];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

bool Matches(const std::string& path, const std::string& part) {
    return !part.empty() && path.find(part) != std::string::npos;
}

uint16_t PortOf(int fd, bool peer) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    const int rc = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len)
                        : ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return rc == 0 && sa.sin_family == AF_INET ? ntohs(sa.sin_port) : 0;
}

long Fail(int error) {
    errno = error;
    return -1;
}

}  // namespace

void FaultEnv::FailOpens(const std::string& part, int error, int count) {
    std::lock_guard<std::mutex> guard(mu_);
    open_part_ = part;
    open_error_ = error;
    open_count_ = count;
}

void FaultEnv::FailFileWrites(const std::string& part, int error, size_t after) {
    std::lock_guard<std::mutex> guard(mu_);
    write_part_ = part;
    write_error_ = error;
    write_budget_ = after;
}

void FaultEnv::ClearFileWrites() {
    std::lock_guard<std::mutex> guard(mu_);
    write_part_.clear();
    write_again_part_.clear();
}

void FaultEnv::AgainOnReads(const std::string& part, int count) {
    std::lock_guard<std::mutex> guard(mu_);
    read_again_part_ = part;
    read_again_count_ = count;
}

void FaultEnv::AgainOnWrites(const std::string& part) {
    std::lock_guard<std::mutex> guard(mu_);
    write_again_part_ = part;
}

void FaultEnv::FailThreadStarts(int count, int after) {
    threads_before_failures_ = after;
    thread_failures_ = count;
}

void FaultEnv::FailAccepts(int error, int count) {
    accept_error_ = error;
    accept_failures_ = count;
}

void FaultEnv::ShapeSends(uint16_t port, size_t piece, int again, bool to_peer) {
    std::lock_guard<std::mutex> guard(mu_);
    send_port_ = port;
    send_to_peer_ = to_peer;
    send_piece_ = piece;
    send_again_ = again;
    send_again_left_ = again;
}

void FaultEnv::CutSendsTo(uint16_t peer_port, size_t after) {
    std::lock_guard<std::mutex> guard(mu_);
    cut_peer_port_ = peer_port;
    cut_after_ = after;
    sent_to_peer_ = 0;
}

void FaultEnv::ClearSends() {
    std::lock_guard<std::mutex> guard(mu_);
    send_port_ = 0;
    cut_peer_port_ = 0;
}

void FaultEnv::WrapTicksAfter(uint32_t ms_before_wrap) {
    const uint64_t now = target().MonotonicMs();
    const uint64_t wrap = ((now >> 32) + 2) << 32;
    tick_offset_ = wrap - ms_before_wrap - now;
}

void FaultEnv::SetWallClockBy(std::chrono::seconds by) {
    wall_offset_s_ += by.count();
}

int FaultEnv::Open(const char* path, int flags, unsigned mode) {
    {
        std::lock_guard<std::mutex> guard(mu_);
        if (open_count_ > 0 && Matches(path, open_part_)) {
            --open_count_;
            ++opens_failed_;
            return static_cast<int>(Fail(open_error_));
        }
    }
    return EnvWrapper::Open(path, flags, mode);
}

long FaultEnv::Read(int fd, void* buffer, size_t length) {
    {
        std::lock_guard<std::mutex> guard(mu_);
        if (read_again_count_ > 0 && Matches(PathOf(fd), read_again_part_)) {
            --read_again_count_;
            ++reads_failed_;
            return Fail(EAGAIN);
        }
    }
    return EnvWrapper::Read(fd, buffer, length);
}

size_t FaultEnv::WritePass(int fd, size_t length) {
    std::lock_guard<std::mutex> guard(mu_);
    if (write_part_.empty() && write_again_part_.empty()) return length;
    const std::string path = PathOf(fd);
    if (Matches(path, write_part_)) {
        if (write_budget_ > 0) {
            const size_t pass = std::min(length, write_budget_);
            write_budget_ -= pass;
            return pass;
        }
        ++writes_failed_;
        errno = write_error_;
        return 0;
    }
    if (Matches(path, write_again_part_)) {
        ++writes_failed_;
        errno = EAGAIN;
        return 0;
    }
    return length;
}

long FaultEnv::Write(int fd, const void* data, size_t length) {
    const size_t pass = WritePass(fd, length);
    if (pass == 0 && length != 0) return -1;
    return EnvWrapper::Write(fd, data, pass);
}

long FaultEnv::WriteAt(int fd, const void* data, size_t length, int64_t offset) {
    const size_t pass = WritePass(fd, length);
    if (pass == 0 && length != 0) return -1;
    return EnvWrapper::WriteAt(fd, data, pass, offset);
}

long FaultEnv::Send(int fd, const void* data, size_t length, int flags) {
    bool counted = false;
    {
        std::lock_guard<std::mutex> guard(mu_);
        if (cut_peer_port_ != 0 && PortOf(fd, true) == cut_peer_port_) {
            if (sent_to_peer_ >= cut_after_) return Fail(ECONNRESET);
            length = std::min(length, cut_after_ - sent_to_peer_);
            counted = true;
        }
        if (send_port_ != 0 && PortOf(fd, send_to_peer_) == send_port_) {
            ++sends_shaped_;
            if (send_again_left_ > 0) {
                --send_again_left_;
                return Fail(EAGAIN);
            }
            send_again_left_ = send_again_;
            length = std::min(length, send_piece_);
        }
    }
    const long n = EnvWrapper::Send(fd, data, length, flags);
    if (counted && n > 0) {
        std::lock_guard<std::mutex> guard(mu_);
        sent_to_peer_ += static_cast<size_t>(n);
    }
    return n;
}

long FaultEnv::SendGathered(int fd, const platform::ByteSpan* spans, size_t count, int flags) {
    bool shaping;
    {
        std::lock_guard<std::mutex> guard(mu_);
        shaping = cut_peer_port_ != 0 || send_port_ != 0;
    }
    // A gathered send may take any part of what it is offered: the first piece is as legal.
    if (shaping && count > 0) return Send(fd, spans[0].data, spans[0].size, flags);
    return EnvWrapper::SendGathered(fd, spans, count, flags);
}

int FaultEnv::Accept(int fd, sockaddr* address, unsigned* length, int flags) {
    if (accept_failures_.load() > 0 && accept_failures_.fetch_sub(1) > 0) {
        ++accepts_failed_;
        return static_cast<int>(Fail(accept_error_));
    }
    return EnvWrapper::Accept(fd, address, length, flags);
}

int FaultEnv::StartThread(std::thread* thread, std::function<void()> body) {
    if (threads_before_failures_.load() > 0 && threads_before_failures_.fetch_sub(1) > 0)
        return EnvWrapper::StartThread(thread, std::move(body));
    if (thread_failures_.load() > 0 && thread_failures_.fetch_sub(1) > 0) {
        ++threads_refused_;
        return EAGAIN;
    }
    return EnvWrapper::StartThread(thread, std::move(body));
}

uint64_t FaultEnv::MonotonicMs() {
    return EnvWrapper::MonotonicMs() + tick_offset_.load();
}

std::chrono::system_clock::time_point FaultEnv::WallClock() {
    return EnvWrapper::WallClock() + std::chrono::seconds(wall_offset_s_.load());
}

}  // namespace orvana::test
