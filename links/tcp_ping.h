#pragma once
// The echo test of a receiver reached over TCP: "Ping NAME" sends one ICMP echo request to the
// receiver's host and answers "RE:" with the round trip in milliseconds.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orvana {

class Server;
class ClientSession;

inline constexpr uint16_t kEchoIdentifier = 12345;
inline constexpr size_t kEchoSize = 12;

// One's complement of the one's complement sum of the 16-bit words (network order).
uint16_t InternetChecksum(const uint8_t* data, size_t size);

// The 12-byte echo request carrying `tick`; false when its checksum comes out as 0.
bool BuildEchoRequest(uint32_t tick, uint8_t (&out)[kEchoSize]);

// Runs on the client's session thread, for up to about two seconds. 1 with "RE:<ms>", else 0
// with the reason in session.reply.
unsigned PingReceiver(Server& server, ClientSession& session, std::string_view name);

}  // namespace orvana
