#pragma once
// ICMP echo for the receiver ping. A raw socket when the process may open one, else the
// unprivileged ICMP datagram socket (Linux "ping" sockets, allowed by net.ipv4.ping_group_range).
// Both are made to look alike to the caller: Receive hands back the ICMP message without an IP
// header, and on a datagram socket the identifier the kernel put in is turned back into the one
// that was sent.

#include <cstddef>
#include <cstdint>

namespace orvana::platform {

class IcmpSocket {
  public:
    enum class Kind { None, Raw, Datagram };

    IcmpSocket() = default;
    ~IcmpSocket();
    IcmpSocket(const IcmpSocket&) = delete;
    IcmpSocket& operator=(const IcmpSocket&) = delete;

    // Opens a socket for `protocol` (the "icmp" protocol number) whose sends give up after
    // `send_limit_ms`; false when neither kind may be opened (LastSocketError says why).
    bool Open(int protocol, uint32_t send_limit_ms);
    Kind kind() const { return kind_; }

    // Sends one ICMP message to `address` (host byte order). Bytes sent, or -1.
    long SendTo(uint32_t address, const void* message, size_t length);
    // The next ICMP message that arrives within `timeout_ms`: its length in `buffer` (IP header
    // removed), 0 for a datagram too short to hold an IP header and 8 bytes, -1 on time-out
    // (error 10060) or error.
    long Receive(void* buffer, size_t length, uint32_t timeout_ms);

  private:
    int fd_ = -1;
    Kind kind_ = Kind::None;
    uint16_t sent_identifier_ = 0;  // what SendTo put in; restored on datagram replies
    uint16_t kernel_identifier_ = 0;
};

// The protocol number of "icmp" from the system's protocol list; 1 when it has none.
int IcmpProtocolNumber();

}  // namespace orvana::platform
