#include "platform/poller.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

namespace orvana::platform {
namespace {

// The wake-up descriptor's key: no socket key is all ones.
constexpr uint64_t kWakeKey = ~uint64_t{0};
constexpr int kMaxEvents = 64;

}  // namespace

Poller::Poller() {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!ok()) {
        SetLastSocketError(WinSockError(errno));
        return;
    }
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = kWakeKey;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &e) != 0) {
        SetLastSocketError(WinSockError(errno));
        ::close(wake_);
        wake_ = -1;
    }
}

Poller::~Poller() {
    if (wake_ >= 0) ::close(wake_);
    if (epoll_ >= 0) ::close(epoll_);
}

namespace {

bool Control(int epoll, int op, SocketFd fd, uint32_t events, uint64_t key) {
    epoll_event e{};
    e.events = events;
    e.data.u64 = key;
    if (::epoll_ctl(epoll, op, fd, &e) == 0) return true;
    SetLastSocketError(WinSockError(errno));
    return false;
}

}  // namespace

// One-shot and level-triggered: a socket is asked about only while a sender waits for it, and a
// socket that keeps failing (a peer gone) cannot flood the waits.
bool Poller::Watch(SocketFd fd, uint64_t key) {
    return Control(epoll_, EPOLL_CTL_ADD, fd, EPOLLONESHOT, key);
}

bool Poller::ArmSendRoom(SocketFd fd, uint64_t key) {
    return Control(epoll_, EPOLL_CTL_MOD, fd, EPOLLOUT | EPOLLONESHOT, key);
}

bool Poller::ArmReadable(SocketFd fd, uint64_t key, bool send_room) {
    const uint32_t events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT | (send_room ? EPOLLOUT : 0u);
    return Control(epoll_, EPOLL_CTL_MOD, fd, events, key);
}

void Poller::Forget(SocketFd fd) {
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
}

void Poller::Wake() {
    const uint64_t one = 1;
    // A full counter already wakes the waiter: nothing is lost when the write fails.
    [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
}

int Poller::Wait(uint32_t timeout_ms, uint64_t* keys, int max) {
    epoll_event events[kMaxEvents];
    const int n = ::epoll_wait(epoll_, events, std::clamp(max, 1, kMaxEvents),
                               static_cast<int>(std::min<uint32_t>(timeout_ms, 0x7FFFFFFF)));
    if (n < 0) {
        if (errno == EINTR) return 0;
        SetLastSocketError(WinSockError(errno));
        return -1;
    }
    int stored = 0;
    for (int i = 0; i < n; ++i) {
        if (events[i].data.u64 == kWakeKey) {
            uint64_t count;
            [[maybe_unused]] ssize_t r = ::read(wake_, &count, sizeof count);
        } else {
            keys[stored++] = events[i].data.u64;
        }
    }
    return stored;
}

}  // namespace orvana::platform
