#include "core/request_framer.h"

#include <algorithm>
#include <cstring>

#include "core/client_session.h"
#include "core/server_frames.h"

namespace orvana {

RequestFrameStep TakeRequestFrame(char* buffer, size_t* received, size_t* discard,
                                  RequestFrame* frame) {
    size_t& r = *received;
    if (*discard > 0) {
        const size_t n = std::min(*discard, r);
        std::memmove(buffer, buffer + n, r - n);
        r -= n;
        *discard -= n;
    }
    if (r < 6) return RequestFrameStep::kNeedMore;
    if (std::memcmp(buffer + 3, "NLG", 3) == 0) {
        // Wait for the rest only of a frame that can fit the buffer; one that cannot (or a
        // header that makes no sense) is refused now rather than waited for.
        const size_t total = EncipheredLength(buffer);
        if (total > r && total >= 6 && total < ClientSession::kReceiveBufferSize)
            return RequestFrameStep::kNeedMore;
        const size_t plain = DecipherRequest(buffer, r, ClientSession::kSessionKey);
        if (plain == 0) {
            if (total > r) *discard = total - r;
            r = 0;
            std::memset(buffer, 0, ClientSession::kReceiveBufferSize);
            return RequestFrameStep::kBadCipher;
        }
        r = plain;
        if (r < 6) {
            r = 0;
            return RequestFrameStep::kNeedMore;
        }
    }
    const size_t length = ParseHexField(buffer, 4);
    // The whole text must be there: a frame split by the network is not handled half-read. A
    // frame that carries binary data after its text's zero byte counts its header in its length.
    const bool binary = std::memchr(buffer + 6, 0, r - 6) != nullptr;
    if (length + 6 > r && !(binary && length <= r)) return RequestFrameStep::kNeedMore;
    buffer[r] = 0;
    frame->bytes = r;
    frame->length = length;
    r = 0;
    return RequestFrameStep::kFrame;
}

}  // namespace orvana
