// A client's request bytes as the session reads them: the enciphered frame's header, its
// deciphering and check sum, then the plain frame's header fields. Every read stays inside the
// bytes received. And whatever text a client enciphers comes back whole.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "core/client_session.h"
#include "core/request_client.h"
#include "core/server_frames.h"

using orvana::ClientSession;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > ClientSession::kReceiveBufferSize) return 0;
    // The session's buffer: the bytes received, then zeros.
    std::string buffer(ClientSession::kReceiveBufferSize + 1, '\0');
    std::memcpy(buffer.data(), data, size);
    size_t r = size;
    if (r >= 6 && std::memcmp(buffer.data() + 3, "NLG", 3) == 0) {
        (void)orvana::EncipheredLength(buffer.data());
        r = orvana::DecipherRequest(buffer.data(), r, ClientSession::kSessionKey);
    }
    if (r >= 6) {
        (void)orvana::ParseHexField(buffer.data(), 4);
        (void)orvana::ParseHexField(buffer.data() + 4, 2);
    }

    // The round trip: the input as a request text, enciphered and deciphered again.
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string plain = orvana::BuildRequestFrame(text.substr(0, text.find('\0')), 7);
    const std::string sealed = orvana::EncipherRequest(plain, ClientSession::kSessionKey);
    if (sealed.empty()) return 0;  // longer than an enciphered frame can carry
    std::string round(sealed);
    round.resize(ClientSession::kReceiveBufferSize + 1, '\0');
    const size_t back =
        orvana::DecipherRequest(round.data(), sealed.size(), ClientSession::kSessionKey);
    if (back != plain.size() || round.compare(0, back, plain) != 0) std::abort();
    return 0;
}
