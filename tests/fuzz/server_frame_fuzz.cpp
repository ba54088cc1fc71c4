// Frames from another server as a gate link or a client reads them: lengths, types, checksums
// and zero bytes that lie, split anywhere by the network. The reader must never read past what
// it was given, must make progress on every call, and must give back whole frames unchanged.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/request_client.h"
#include "core/server_frames.h"

using orvana::ServerFrame;
using orvana::ServerFrameReader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // The first byte picks where the network splits the rest, the second the largest frame the
    // reader expects (a gate's, or the protocol's own limit).
    const size_t piece = 1 + data[0] % 64;
    ServerFrameReader reader;
    if (data[1] & 1) reader.set_max_frame(8192 + 16);
    const char* bytes = reinterpret_cast<const char*>(data + 2);
    const size_t count = size - 2;
    size_t frames = 0;
    for (size_t at = 0; at < count; at += piece) {
        reader.Append(bytes + at, count - at < piece ? count - at : piece);
        for (;;) {
            const size_t before = reader.buffered();
            ServerFrame f;
            std::string why;
            const auto result = reader.Next(&f, &why);
            if (result == ServerFrameReader::Result::kNeedMore) break;
            // A frame or a dropped piece always takes bytes away.
            if (reader.buffered() >= before) std::abort();
            if (result == ServerFrameReader::Result::kFrame) ++frames;
        }
    }
    // A frame built from the input's bytes comes back exactly.
    std::string built(orvana::FrameSize(count), '\0');
    orvana::BuildServerFrame(built.data(), 0x102, 3, 1, bytes, count);
    ServerFrameReader again;
    again.Append(built.data(), built.size());
    ServerFrame f;
    const auto result = again.Next(&f);
    const bool has_zero = std::string(bytes, count).find('\0') != std::string::npos;
    if (!has_zero && count + 16 <= 0xFFFF &&
        (result != ServerFrameReader::Result::kFrame || f.type != 0x102 || f.handle != 3 ||
         f.code != 1 || f.data != std::string(bytes, count)))
        std::abort();
    (void)frames;
    return 0;
}
