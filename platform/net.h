#pragma once
// POSIX TCP sockets behind the server's socket class. Errors are kept per thread as the WinSock
// numbers operators and peers know (ETIMEDOUT 10060, ECONNRESET 10054, ...), so report texts read
// the same on every platform. Every send uses MSG_NOSIGNAL: a vanished peer never raises SIGPIPE.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/env.h"

namespace orvana::platform {

using SocketFd = int;
inline constexpr SocketFd kNoSocket = -1;

// WinSock number for an errno value: the well-known ones by name, others 10000 + errno.
int WinSockError(int errno_value);
// The system's text for a WinSock number ("Connection refused" for 10061); "" for 0 or a number
// the system has no text for.
std::string SocketErrorText(int winsock_error);
// The WinSock number of this thread's last failed socket call (0 when none failed yet).
int LastSocketError();
void SetLastSocketError(int winsock_error);

struct Ipv4Endpoint {
    uint32_t address = 0;  // host byte order
    uint16_t port = 0;
};

std::string DottedAddress(uint32_t address);
// Dotted text to address; false when the text is not one.
bool ParseDotted(const std::string& text, uint32_t* address);
// Name or dotted text to the first IPv4 address.
bool ResolveIpv4(const std::string& host, uint32_t* address);
bool IsLoopback(uint32_t address);

// A stream socket; kNoSocket on failure.
SocketFd OpenStreamSocket();
bool SetKeepAlive(SocketFd fd, uint32_t idle_ms, uint32_t interval_ms);
// The kernel's send buffer, in place of its auto-tuning (which lets one socket grow to MB).
bool SetSendBuffer(SocketFd fd, int bytes);
// The kernel's receive buffer, in place of its auto-tuning (which lets one socket hold MB).
bool SetReceiveBuffer(SocketFd fd, int bytes);
// Small writes go out at once instead of waiting for the acknowledgement of earlier ones.
bool SetNoDelay(SocketFd fd);
// Acknowledges what arrives at once rather than after the delayed-ack timer. The kernel drops
// back to delayed acks by itself, so a reader sets it again after each read.
bool AckAtOnce(SocketFd fd);
bool Bind(SocketFd fd, const Ipv4Endpoint& at);
bool Listen(SocketFd fd, int backlog);
int MaxBacklog();
SocketFd Accept(SocketFd fd, Ipv4Endpoint* peer);
// A listening socket bound to `at` that never blocks (for AcceptNow); kNoSocket with
// LastSocketError set.
SocketFd ListenNonBlocking(const Ipv4Endpoint& at, int backlog);
bool Connect(SocketFd fd, const Ipv4Endpoint& to, uint32_t timeout_ms);
bool LocalEndpoint(SocketFd fd, Ipv4Endpoint* out);
// Starts a connect that never waits; the socket is left non-blocking. True when it is under way
// (or done): room to send then says it ended, and ConnectResult how.
bool ConnectStart(SocketFd fd, const Ipv4Endpoint& to);
// After ConnectStart, once the socket reported room or failure: 0 connected, else the error.
int ConnectResult(SocketFd fd);

// 1 readable (or closed), 0 time-out, -1 error.
int WaitReadable(SocketFd fd, uint32_t timeout_ms);
// Sends all bytes or fails; a peer that takes nothing for `timeout_ms` fails with 10060, and so
// does a send not finished within `total_ms` (0: no overall limit). Returns the length, or -1.
long SendAll(SocketFd fd, const void* data, size_t length, uint32_t timeout_ms,
             uint32_t total_ms = 0);
// One send of the pieces in order that never waits: the bytes the socket took (> 0), 0 when it
// takes nothing now, or -1 on an error.
long SendSome(SocketFd fd, const ByteSpan* spans, size_t count);
// One receive that never waits: >0 bytes, 0 closed, -1 error, kNothingYet when none are there.
inline constexpr long kNothingYet = -2;
long ReceiveNow(SocketFd fd, void* buffer, size_t length);
// Accepts without waiting: kNoSocket when no connection is pending (LastSocketError 0) or on an
// error. The listening socket must be non-blocking (SetNonBlocking).
SocketFd AcceptNow(SocketFd fd, Ipv4Endpoint* peer);
bool SetNonBlocking(SocketFd fd);
// One receive: >0 bytes, 0 closed, -1 error.
long ReceiveOnce(SocketFd fd, void* buffer, size_t length, bool peek);

// Breaks the connection both ways; a thread blocked on the socket wakes. The descriptor stays
// allocated until CloseSocket, so it cannot be reused under another thread's feet.
void ShutdownSocket(SocketFd fd);
void CloseSocket(SocketFd fd);
// Closes with a reset instead of the orderly end; false when the socket refused it (then open).
bool CloseSocketWithReset(SocketFd fd);

// IPv4 addresses of the machine's interfaces, in the order the system lists them.
std::vector<uint32_t> InterfaceAddresses();

}  // namespace orvana::platform
