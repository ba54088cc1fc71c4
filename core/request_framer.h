#pragma once
// The bytes a client sent, gathered in its receive buffer, made into request frames: plain
// frames ("%04x%02x" length and handle, then the text) and enciphered "NLG" frames, which are
// deciphered in place. Reads may end anywhere inside a frame.

#include <cstddef>

namespace orvana {

enum class RequestFrameStep {
    kNeedMore,   // no whole frame yet
    kFrame,      // a plain frame at the buffer's start
    kBadCipher,  // an enciphered frame that would not decipher; it is dropped
};

struct RequestFrame {
    size_t bytes = 0;   // as received (the text runs to the zero byte put after them)
    size_t length = 0;  // the header's length field
};

// `buffer` holds `*received` bytes and has room for kReceiveBufferSize + 1; `*discard` bytes
// still to come belong to a frame already refused. On kFrame the buffer starts with the plain
// frame, zero-terminated, and `*received` is 0 again.
RequestFrameStep TakeRequestFrame(char* buffer, size_t* received, size_t* discard,
                                  RequestFrame* frame);

}  // namespace orvana
