// A request head sent to the NTRIP caster (and an answer to the server's uploads), the Basic
// credentials in it, and the bytes after it as RTCM frames and as a chunked stream.

#include <cstdint>
#include <string>
#include <string_view>

#include "ntrip/chunked_decoder.h"
#include "ntrip/http_head.h"
#include "ntrip/rtcm3.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    orvana::ntrip::HttpHead head;
    size_t head_bytes = 0;
    if (orvana::ntrip::ParseHttpHead(all, &head, &head_bytes) == orvana::ntrip::HeadParse::kDone) {
        if (head_bytes > size) __builtin_trap();
        std::string user, password;
        orvana::ntrip::ParseBasicAuthorization(head.Field("Authorization"), &user, &password);
        orvana::rtcm3::FrameScanner scanner;
        scanner.Append(all.substr(head_bytes));
        orvana::rtcm3::FrameScanner::Frame frame;
        while (scanner.Next(&frame))
            if (frame.bytes.size() < 6) __builtin_trap();
        // The body as an NTRIP 2.0 source's chunked stream, fed in two pieces.
        const std::string_view body = all.substr(head_bytes);
        orvana::ntrip::ChunkedDecoder chunks;
        std::string out;
        chunks.Feed(body.substr(0, body.size() / 2), &out);
        chunks.Feed(body.substr(body.size() / 2), &out);
        if (out.size() > body.size()) __builtin_trap();
    }
    std::string decoded;
    if (orvana::ntrip::Base64Decode(all, &decoded) && orvana::ntrip::Base64Encode(decoded) != all &&
        all.find('=') == std::string_view::npos)
        __builtin_trap();  // what decodes without padding encodes back the same
    return 0;
}
