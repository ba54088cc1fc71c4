// A client's bytes as its session reads them, in reads of any size: plain and enciphered request
// frames, split anywhere, with headers that lie. The framer must keep within the receive
// buffer and hand over only zero-terminated frames. And whatever text a client enciphers comes
// back whole.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "core/client_session.h"
#include "core/request_client.h"
#include "core/request_framer.h"
#include "core/server_frames.h"

using namespace orvana;

namespace {

void Frame(const uint8_t* data, size_t size) {
    // The first byte picks the size of the reads.
    const size_t piece = 1 + data[0] % 200;
    ++data;
    --size;
    std::string buffer(ClientSession::kReceiveBufferSize + 1, '\0');
    size_t received = 0, discard = 0;
    for (size_t at = 0; at < size;) {
        const size_t room = ClientSession::kReceiveBufferSize - 1 - received;
        if (room == 0) return;  // the session reads nothing more and ends
        const size_t n = std::min({piece, room, size - at});
        std::memcpy(buffer.data() + received, data + at, n);
        received += n;
        at += n;
        RequestFrame frame;
        if (TakeRequestFrame(buffer.data(), &received, &discard, &frame) !=
            RequestFrameStep::kFrame)
            continue;
        if (frame.bytes < 6 || frame.bytes >= buffer.size() || buffer[frame.bytes] != 0 ||
            received != 0)
            std::abort();
        (void)ParseHexField(buffer.data() + 4, 2);
        (void)strnlen(buffer.data() + 6, frame.bytes - 6);
    }
    if (received >= ClientSession::kReceiveBufferSize) std::abort();
}

void RoundTrip(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, text.find('\0'));
    const std::string plain = BuildRequestFrame(text, 7);
    const std::string sealed = EncipherRequest(plain, ClientSession::kSessionKey);
    if (sealed.empty()) return;  // longer than an enciphered frame can carry
    std::string buffer(sealed);
    buffer.resize(ClientSession::kReceiveBufferSize + 1, '\0');
    size_t received = sealed.size(), discard = 0;
    RequestFrame frame;
    if (TakeRequestFrame(buffer.data(), &received, &discard, &frame) != RequestFrameStep::kFrame ||
        frame.bytes != plain.size() || buffer.compare(0, frame.bytes, plain) != 0)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Frame(data, size);
    RoundTrip(data + 1, size - 1);
    return 0;
}
