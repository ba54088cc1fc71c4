#include "platform/icmp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/net.h"

namespace orvana::platform {
namespace {

constexpr size_t kMaxDatagram = 4096;

uint16_t Identifier(const uint8_t* icmp) {
    return static_cast<uint16_t>((icmp[4] << 8) | icmp[5]);
}

}  // namespace

int IcmpProtocolNumber() {
    protoent entry{};
    protoent* found = nullptr;
    char buffer[1024];
    if (getprotobyname_r("icmp", &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr)
        return 1;
    return found->p_proto;
}

IcmpSocket::~IcmpSocket() {
    if (fd_ >= 0) ::close(fd_);
}

bool IcmpSocket::Open(int protocol, uint32_t send_limit_ms) {
    if (fd_ >= 0) ::close(fd_);
    kind_ = Kind::None;
    fd_ = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, protocol);
    if (fd_ >= 0) {
        kind_ = Kind::Raw;
    } else {
        // Without the privilege for raw sockets; the datagram kind speaks ICMP only.
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (fd_ < 0) {
            SetLastSocketError(WinSockError(errno));
            return false;
        }
        kind_ = Kind::Datagram;
    }
    timeval tv{};
    tv.tv_sec = send_limit_ms / 1000;
    tv.tv_usec = static_cast<suseconds_t>((send_limit_ms % 1000) * 1000);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return true;
}

long IcmpSocket::SendTo(uint32_t address, const void* message, size_t length) {
    if (fd_ < 0) {
        SetLastSocketError(10038);
        return -1;
    }
    if (length >= 6) sent_identifier_ = Identifier(static_cast<const uint8_t*>(message));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(address);
    for (;;) {
        ssize_t n = ::sendto(fd_, message, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to),
                             sizeof to);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            SetLastSocketError(WinSockError(errno));
            return -1;
        }
        if (kind_ == Kind::Datagram) {
            // The kernel chose the identifier (the socket's "port"); its replies carry it.
            sockaddr_in local{};
            socklen_t len = sizeof local;
            if (getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len) == 0)
                kernel_identifier_ = ntohs(local.sin_port);
        }
        return static_cast<long>(n);
    }
}

long IcmpSocket::Receive(void* buffer, size_t length, uint32_t timeout_ms) {
    if (fd_ < 0) {
        SetLastSocketError(10038);
        return -1;
    }
    pollfd p{fd_, POLLIN, 0};
    int r = 0;
    do {
        r = ::poll(&p, 1, static_cast<int>(timeout_ms));
    } while (r < 0 && errno == EINTR);
    if (r == 0) {
        SetLastSocketError(10060);
        return -1;
    }
    if (r < 0) {
        SetLastSocketError(WinSockError(errno));
        return -1;
    }
    std::vector<uint8_t> datagram(kMaxDatagram);
    ssize_t n = 0;
    do {
        n = ::recv(fd_, datagram.data(), datagram.size(), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        SetLastSocketError(WinSockError(errno == EAGAIN ? ETIMEDOUT : errno));
        return -1;
    }
    size_t skip = 0;
    if (kind_ == Kind::Raw) {
        // A raw socket hands over the IP header too; its length is in the first byte.
        if (n < 1) return 0;
        skip = static_cast<size_t>(datagram[0] & 0x0f) * 4;
    }
    if (static_cast<size_t>(n) < skip + 8) return 0;
    uint8_t* icmp = datagram.data() + skip;
    const size_t size = static_cast<size_t>(n) - skip;
    if (kind_ == Kind::Datagram && Identifier(icmp) == kernel_identifier_) {
        icmp[4] = static_cast<uint8_t>(sent_identifier_ >> 8);
        icmp[5] = static_cast<uint8_t>(sent_identifier_ & 0xff);
    }
    const size_t copied = std::min(size, length);
    std::memcpy(buffer, icmp, copied);
    return static_cast<long>(copied);
}

}  // namespace orvana::platform
