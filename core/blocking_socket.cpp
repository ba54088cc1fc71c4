#include "core/blocking_socket.h"

#include <cctype>
#include <chrono>
#include <cstdio>

#include "core/event_log.h"
#include "platform/clock.h"

namespace orvana {

CBlockingSocketException::CBlockingSocketException(std::string operation)
    : error_(platform::LastSocketError()), operation_(std::move(operation)) {}

int CBlockingSocketException::Report(std::string& text, EventLog* log) const {
    char line[1024];
    if (error_ == 10060)
        std::snprintf(line, sizeof line, "ER:%s\tfrom %s - Connection timed out (10060)",
                      text.c_str(), operation_.c_str());
    else if (error_ == 10054)
        std::snprintf(line, sizeof line,
                      "ER:%s\tfrom %s - An existing connection was forcibly closed by the "
                      "remote host (10054)",
                      text.c_str(), operation_.c_str());
    else
        std::snprintf(line, sizeof line, "ER:%s\tfrom %s WinSock reply %d", text.c_str(),
                      operation_.c_str(), error_);
    text = line;
    if (error_ != 0 && log != nullptr) log->WriteLine(text);
    return error_;
}

int ReportSocketError(EventLog* log, const std::string& description) {
    int e = platform::LastSocketError();
    if (e != 0 && log != nullptr) {
        char line[1024];
        std::snprintf(line, sizeof line, "ER:%s from Read/Write Socket reply %d",
                      description.c_str(), e);
        log->WriteLine(line);
    }
    return e;
}

CBlockingSocket::~CBlockingSocket() {
    ReleaseDescriptor();
}

void CBlockingSocket::ReleaseDescriptor() {
    platform::SocketFd fd = fd_.exchange(platform::kNoSocket);
    if (fd != platform::kNoSocket) {
        platform::ShutdownSocket(fd);
        platform::CloseSocket(fd);
    }
}

void CBlockingSocket::Adopt(platform::SocketFd fd) {
    ReleaseDescriptor();
    broken_ = false;
    fd_ = fd;
}

void CBlockingSocket::TakeConnection(CBlockingSocket& other) {
    bool broken = other.broken_.exchange(false);
    Adopt(other.fd_.exchange(platform::kNoSocket));
    if (broken) Cleanup();
}

void CBlockingSocket::Create(int type) {
    if (type != 1) {
        platform::SetLastSocketError(10044);
        throw CBlockingSocketException("Create");
    }
    platform::SocketFd fd = platform::OpenStreamSocket();
    if (fd == platform::kNoSocket) throw CBlockingSocketException("Create");
    Adopt(fd);
    if (!platform::SetKeepAlive(fd, kKeepAliveIdleMs, kKeepAliveIntervalMs) ||
        !platform::SetNoDelay(fd))
        throw CBlockingSocketException("Create");
}

void CBlockingSocket::Bind(const platform::Ipv4Endpoint& at) {
    if (!platform::Bind(fd_, at)) throw CBlockingSocketException("Bind");
}

void CBlockingSocket::Listen(int backlog) {
    if (!platform::Listen(fd_, backlog)) throw CBlockingSocketException("Listen");
}

bool CBlockingSocket::Accept(CBlockingSocket& target, platform::Ipv4Endpoint* peer,
                             bool with_timeout) {
    if (broken_) {
        platform::SetLastSocketError(10004);
        throw CBlockingSocketException("Accept");
    }
    if (with_timeout && platform::WaitReadable(fd_, kAcceptWaitMs) <= 0) {
        platform::SetLastSocketError(10060);
        throw CBlockingSocketException("Accept timeout");
    }
    platform::SocketFd c = platform::Accept(fd_, peer);
    // A shut-down listener wakes accept() with an error, and Cleanup may also race it.
    if (c == platform::kNoSocket || broken_) {
        if (c != platform::kNoSocket) platform::CloseSocket(c);
        throw CBlockingSocketException("Accept");
    }
    target.Adopt(c);
    platform::SetSendBuffer(c, kClientSendBuffer);
    // Frames are sent whole: a reply must not wait for the acknowledgement of the data before.
    platform::SetNoDelay(c);
    return true;
}

void CBlockingSocket::SetReceiveBuffer(int bytes) {
    if (!platform::SetReceiveBuffer(fd_, bytes)) throw CBlockingSocketException("Create");
}

void CBlockingSocket::AckAtOnce() {
    if (fd_ != platform::kNoSocket) platform::AckAtOnce(fd_);
}

void CBlockingSocket::Connect(const platform::Ipv4Endpoint& to, uint32_t limit_ms) {
    if (!platform::Connect(fd_, to, limit_ms)) throw CBlockingSocketException("Connect");
}

platform::Ipv4Endpoint CBlockingSocket::GetHostByName(const std::string& host, uint16_t port) {
    platform::Ipv4Endpoint e;
    e.port = port;
    bool ok = !host.empty() && std::isdigit(static_cast<unsigned char>(host[0]))
                  ? platform::ParseDotted(host, &e.address)
                  : platform::ResolveIpv4(host, &e.address);
    if (!ok) {
        if (platform::LastSocketError() == 0) platform::SetLastSocketError(11001);
        throw CBlockingSocketException("GetHostByName");
    }
    return e;
}

void CBlockingSocket::Cleanup() {
    if (fd_ == platform::kNoSocket || broken_.exchange(true)) return;
    platform::ShutdownSocket(fd_);
}

int CBlockingSocket::Send(const void* data, int length, int) {
    std::lock_guard<platform::TimedLock> guard(send_lock_);
    if (length <= 0) return 0;
    if (!IsOpen()) {
        platform::SetLastSocketError(10057);
        return -1;
    }
    long n = platform::SendAll(fd_, data, static_cast<size_t>(length), send_limit_ms_);
    return n < 0 ? -1 : static_cast<int>(n);
}

int CBlockingSocket::Receive(void* buffer, int length, int seconds) {
    if (fd_ == platform::kNoSocket) return -1;
    uint32_t ms = seconds <= 0 ? 0u : static_cast<uint32_t>(seconds) * 1000u;
    int r = platform::WaitReadable(fd_, ms);
    if (r == 0) return -2;
    if (r < 0) return -1;
    if (length <= 0) return 0;
    return static_cast<int>(platform::ReceiveOnce(fd_, buffer, static_cast<size_t>(length), false));
}

int CBlockingSocket::ReceivePeek(void* buffer, int length, bool peek, uint32_t wait_ms) {
    if (fd_ == platform::kNoSocket) return -1;
    int r = platform::WaitReadable(fd_, wait_ms);
    if (r == 0) return -2;
    if (r < 0) return -1;
    return static_cast<int>(platform::ReceiveOnce(fd_, buffer, static_cast<size_t>(length), peek));
}

platform::Ipv4Endpoint CBlockingSocket::LocalEndpoint() const {
    platform::Ipv4Endpoint e;
    platform::LocalEndpoint(fd_, &e);
    return e;
}

}  // namespace orvana
