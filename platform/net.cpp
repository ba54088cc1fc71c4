#include "platform/net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "platform/env.h"

namespace orvana::platform {
namespace {

thread_local int t_last_error = 0;

bool Fail() {
    t_last_error = WinSockError(errno);
    return false;
}

sockaddr_in ToSockaddr(const Ipv4Endpoint& e) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(e.address);
    sa.sin_port = htons(e.port);
    return sa;
}

uint32_t NowMs() {
    return static_cast<uint32_t>(CurrentEnv().MonotonicMs());
}

// poll() that resumes after a signal with the time that is left.
int PollFor(SocketFd fd, short events, uint32_t timeout_ms, short* revents) {
    const uint32_t start = NowMs();
    for (;;) {
        pollfd p{fd, events, 0};
        uint32_t spent = NowMs() - start;
        int left = spent >= timeout_ms ? 0 : static_cast<int>(timeout_ms - spent);
        int r = ::poll(&p, 1, left);
        if (r < 0 && errno == EINTR) continue;
        if (r > 0) *revents = p.revents;
        return r;
    }
}

}  // namespace

int WinSockError(int e) {
    switch (e) {
        case 0:
            return 0;
        case EINTR:
            return 10004;
        case EBADF:
            return 10009;
        case EACCES:
            return 10013;
        case EFAULT:
            return 10014;
        case EINVAL:
            return 10022;
        case EMFILE:
            return 10024;
        case EAGAIN:
            return 10035;
        case EINPROGRESS:
            return 10036;
        case EALREADY:
            return 10037;
        case ENOTSOCK:
            return 10038;
        case EDESTADDRREQ:
            return 10039;
        case EMSGSIZE:
            return 10040;
        case EPROTOTYPE:
            return 10041;
        case ENOPROTOOPT:
            return 10042;
        case EPROTONOSUPPORT:
            return 10043;
        case ESOCKTNOSUPPORT:
            return 10044;
        case EOPNOTSUPP:
            return 10045;
        case EPFNOSUPPORT:
            return 10046;
        case EAFNOSUPPORT:
            return 10047;
        case EADDRINUSE:
            return 10048;
        case EADDRNOTAVAIL:
            return 10049;
        case ENETDOWN:
            return 10050;
        case ENETUNREACH:
            return 10051;
        case ENETRESET:
            return 10052;
        case ECONNABORTED:
            return 10053;
        case ECONNRESET:
            return 10054;
        case EPIPE:
            return 10054;  // the peer went away: what a Windows peer reports as a reset
        case ENOBUFS:
            return 10055;
        case EISCONN:
            return 10056;
        case ENOTCONN:
            return 10057;
        case ESHUTDOWN:
            return 10058;
        case ETOOMANYREFS:
            return 10059;
        case ETIMEDOUT:
            return 10060;
        case ECONNREFUSED:
            return 10061;
        case ELOOP:
            return 10062;
        case ENAMETOOLONG:
            return 10063;
        case EHOSTDOWN:
            return 10064;
        case EHOSTUNREACH:
            return 10065;
        default:
            return 10000 + e;
    }
}

std::string SocketErrorText(int winsock_error) {
    if (winsock_error == 0) return {};
    // The well-known numbers first: 10061 is ECONNREFUSED's, not 10000 + ENODATA.
    for (int e = 1; e < 256; ++e)
        if (WinSockError(e) == winsock_error && winsock_error != 10000 + e) return std::strerror(e);
    const int e = winsock_error - 10000;
    return e > 0 && e < 256 && WinSockError(e) == winsock_error ? std::strerror(e) : std::string();
}

int LastSocketError() {
    return t_last_error;
}
void SetLastSocketError(int winsock_error) {
    t_last_error = winsock_error;
}

std::string DottedAddress(uint32_t address) {
    in_addr a{htonl(address)};
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

bool ParseDotted(const std::string& text, uint32_t* address) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    *address = ntohl(a.s_addr);
    return true;
}

bool ResolveIpv4(const std::string& host, uint32_t* address) {
    if (ParseDotted(host, address)) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) {
        t_last_error = 11001;  // host not found
        return false;
    }
    *address = ntohl(reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(res);
    return true;
}

bool IsLoopback(uint32_t address) {
    return (address >> 24) == 127;
}

SocketFd OpenStreamSocket() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) Fail();
    return fd < 0 ? kNoSocket : fd;
}

bool SetKeepAlive(SocketFd fd, uint32_t idle_ms, uint32_t interval_ms) {
    int on = 1;
    int idle = static_cast<int>((idle_ms + 999) / 1000);
    int intvl = static_cast<int>((interval_ms + 999) / 1000);
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) return Fail();
    if (setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0) return Fail();
    if (setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl) != 0) return Fail();
    return true;
}

bool SetSendBuffer(SocketFd fd, int bytes) {
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) != 0) return Fail();
    return true;
}

bool SetReceiveBuffer(SocketFd fd, int bytes) {
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0) return Fail();
    return true;
}

bool SetNoDelay(SocketFd fd) {
    const int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) return Fail();
    return true;
}

bool AckAtOnce(SocketFd fd) {
    const int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on) != 0) return Fail();
    return true;
}

bool Bind(SocketFd fd, const Ipv4Endpoint& at) {
    // A restart must not wait for the last run's connections to leave TIME_WAIT; a port that
    // another socket listens on is still refused.
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return Fail();
    sockaddr_in sa = ToSockaddr(at);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return Fail();
    return true;
}

bool Listen(SocketFd fd, int backlog) {
    if (::listen(fd, backlog) != 0) return Fail();
    return true;
}

int MaxBacklog() {
    return SOMAXCONN;
}

SocketFd ListenNonBlocking(const Ipv4Endpoint& at, int backlog) {
    const SocketFd fd = OpenStreamSocket();
    if (fd == kNoSocket) return kNoSocket;
    if (Bind(fd, at) && Listen(fd, backlog) && SetNonBlocking(fd)) return fd;
    const int error = LastSocketError();
    CloseSocket(fd);
    SetLastSocketError(error);
    return kNoSocket;
}

SocketFd Accept(SocketFd fd, Ipv4Endpoint* peer) {
    for (;;) {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        int c = CurrentEnv().Accept(fd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
        if (c < 0 && errno == EINTR) continue;
        if (c < 0) {
            Fail();
            return kNoSocket;
        }
        peer->address = ntohl(sa.sin_addr.s_addr);
        peer->port = ntohs(sa.sin_port);
        return c;
    }
}

bool Connect(SocketFd fd, const Ipv4Endpoint& to, uint32_t timeout_ms) {
    // Non-blocking for the connect only, so an unreachable host cannot hold the caller.
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    sockaddr_in sa = ToSockaddr(to);
    int r = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (r != 0 && errno == EINPROGRESS) {
        short rev = 0;
        int p = PollFor(fd, POLLOUT, timeout_ms, &rev);
        if (p == 0) {
            errno = ETIMEDOUT;
        } else if (p > 0) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            errno = err;
            r = err == 0 ? 0 : -1;
        }
    }
    int saved = errno;
    fcntl(fd, F_SETFL, flags);
    errno = saved;
    if (r != 0) return Fail();
    return true;
}

bool ConnectStart(SocketFd fd, const Ipv4Endpoint& to) {
    if (!SetNonBlocking(fd)) return false;
    sockaddr_in sa = ToSockaddr(to);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 || errno == EINPROGRESS)
        return true;
    return Fail();
}

int ConnectResult(SocketFd fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    return err == 0 ? 0 : WinSockError(err);
}

bool LocalEndpoint(SocketFd fd, Ipv4Endpoint* out) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return Fail();
    out->address = ntohl(sa.sin_addr.s_addr);
    out->port = ntohs(sa.sin_port);
    return true;
}

int WaitReadable(SocketFd fd, uint32_t timeout_ms) {
    short rev = 0;
    int r = PollFor(fd, POLLIN, timeout_ms, &rev);
    if (r < 0) {
        Fail();
        return -1;
    }
    return r == 0 ? 0 : 1;
}

long SendSome(SocketFd fd, const ByteSpan* spans, size_t count) {
    for (;;) {
        const long n = CurrentEnv().SendGathered(fd, spans, count, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        Fail();
        return -1;
    }
}

long SendAll(SocketFd fd, const void* data, size_t length, uint32_t timeout_ms, uint32_t total_ms) {
    const char* p = static_cast<const char*>(data);
    const uint32_t start = NowMs();
    uint32_t progress = start;
    size_t done = 0;
    while (done < length) {
        ssize_t n = CurrentEnv().Send(fd, p + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            progress = NowMs();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Counted from the last byte taken, not per wait: a socket that keeps saying it is
            // ready and then takes nothing must not hold the sender.
            const uint32_t idle = NowMs() - progress;
            uint32_t wait = idle >= timeout_ms ? 0 : timeout_ms - idle;
            if (total_ms != 0) {
                const uint32_t spent = NowMs() - start;
                const uint32_t left = spent >= total_ms ? 0 : total_ms - spent;
                if (left < wait) wait = left;
            }
            short rev = 0;
            int r = wait == 0 ? 0 : PollFor(fd, POLLOUT, wait, &rev);
            if (r == 0) {
                t_last_error = 10060;
                return -1;
            }
            if (r < 0) {
                Fail();
                return -1;
            }
            continue;
        }
        Fail();
        return -1;
    }
    return static_cast<long>(length);
}

long ReceiveOnce(SocketFd fd, void* buffer, size_t length, bool peek) {
    for (;;) {
        ssize_t n = CurrentEnv().Receive(fd, buffer, length, peek ? MSG_PEEK : 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            Fail();
            return -1;
        }
        return static_cast<long>(n);
    }
}

long ReceiveNow(SocketFd fd, void* buffer, size_t length) {
    for (;;) {
        ssize_t n = CurrentEnv().Receive(fd, buffer, length, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kNothingYet;
        if (n < 0) {
            Fail();
            return -1;
        }
        return static_cast<long>(n);
    }
}

SocketFd AcceptNow(SocketFd fd, Ipv4Endpoint* peer) {
    const SocketFd c = Accept(fd, peer);
    if (c == kNoSocket && (LastSocketError() == WinSockError(EAGAIN) ||
                           LastSocketError() == WinSockError(EWOULDBLOCK)))
        SetLastSocketError(0);
    return c;
}

bool SetNonBlocking(SocketFd fd) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return Fail();
    return true;
}

void ShutdownSocket(SocketFd fd) {
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void CloseSocket(SocketFd fd) {
    if (fd >= 0) ::close(fd);
}

bool CloseSocketWithReset(SocketFd fd) {
    const linger abort{1, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort) != 0) return Fail();
    CloseSocket(fd);
    return true;
}

std::vector<uint32_t> InterfaceAddresses() {
    std::vector<uint32_t> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        out.push_back(ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr));
    }
    freeifaddrs(list);
    return out;
}

}  // namespace orvana::platform
